#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/load_failure.h"
#include "platform/lockdown.h"

namespace {

TEST(Lockdown, ActiveModeFromTheKernelsFile) {
  struct Case {
    std::string text;
    const char* mode;
  } cases[] = {
      {"[none] integrity confidentiality\n", nullptr},
      {"none [integrity] confidentiality\n", "integrity"},
      {"none integrity [confidentiality]\n", "confidentiality"},
      {"", nullptr},
      {"integrity\n", nullptr},  // no brackets: no active mode named
  };
  for (const auto& c : cases) {
    FILE* f = fmemopen(const_cast<char*>(c.text.data()), c.text.size() + 1, "r");
    const char* got = active_lockdown(f);
    fclose(f);
    EXPECT_STREQ(got, c.mode) << c.text;
  }
}

TEST(LoadFailure, OneLineNamesTheCause) {
  const std::string key = " (Key was rejected by service): see Secure Boot in zorflashlnx2(8)\n";
  struct Case {
    LoadFacts facts;
    std::string line;
  } cases[] = {
      {{true, true, false, "insmod: ERROR: Operation not permitted", "6.1.0-9"},
       " module loading is disabled on this kernel (kernel.modules_disabled is 1) until the next boot\n"},
      {{false, true, false, "insmod: can't insert 'zorfldrv_mod.o': Key was rejected by service", "r"},
       " the kernel loads only signed modules, and zorfldrv_mod has no signature it trusts" + key},
      {{false, false, true, "modprobe: ERROR: could not insert 'zorfldrv_mod': Key was rejected by service", "r"},
       " the kernel rejected the signature of zorfldrv_mod" + key},
      {{false, false, true, "modprobe: FATAL: Module zorfldrv_mod not found in directory /lib/modules/6.1.0-9", "6.1.0-9"},
       " no zorfldrv_mod for this kernel (6.1.0-9): install linux-headers-6.1.0-9 and zorfldrv-dkms\n"},
      {{false, false, true, "modprobe: can't change directory to '6.1.0-9': No such file or directory", "6.1.0-9"},
       " no zorfldrv_mod for this kernel (6.1.0-9): install linux-headers-6.1.0-9 and zorfldrv-dkms\n"},
      // A missing file named to insmod is not a missing module for this kernel.
      {{false, false, false, "insmod: can't insert 'zorfldrv_mod.o': No such file or directory", "r"},
       " zorfldrv_mod did not load: insmod: can't insert 'zorfldrv_mod.o': No such file or directory\n"},
      {{false, false, false, "insmod: can't insert 'zorfldrv_mod.o': invalid module format", "r"},
       " zorfldrv_mod did not load: insmod: can't insert 'zorfldrv_mod.o': invalid module format\n"},
      {{false, false, false, "", "r"}, " zorfldrv_mod did not load, and the module tool gave no reason\n"},
      // The tool's words reach the terminal with no control character in them, C1 and stray bytes too.
      {{false, false, false, "insmod: bad\x1b[2J \xc2\x9b" "31m \x9b caf\xc3\xa9\n\n", "r"},
       " zorfldrv_mod did not load: insmod: bad?[2J ??31m ? caf\xc3\xa9\n"},
  };
  for (const auto& c : cases) {
    char line[256];
    describe_load_failure(c.facts, line, sizeof line);
    EXPECT_EQ(line, c.line) << c.facts.output;
  }
  // Cut to the buffer, never past it.
  char small[16];
  describe_load_failure(cases[1].facts, small, sizeof small);
  EXPECT_EQ(std::string(small), cases[1].line.substr(0, 15));
}

}  // namespace
