#include "run/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"

namespace {

int parse(std::vector<std::string> args) {
  options.nc_index = NC_ALL;  // lives in initialised data; parse_options leaves it alone
  std::vector<char*> argv;
  static char prog[] = "zorflashlnx2";
  argv.push_back(prog);
  for (auto& a : args) argv.push_back(a.data());
  return parse_options(static_cast<int>(argv.size()), argv.data());
}

// Selection flags after parsing: main, bootblock, nvram, cmos, nc_mode, nc_index, compare.
struct Selection {
  int main, boot, nvram, cmos, nc, index, compare;
  bool operator==(const Selection&) const = default;
};

Selection selection() {
  return {options.prog_main,    options.prog_bootblock, options.prog_nvram, options.destroy_cmos,
          options.nc_mode,      options.nc_index,       options.compare};
}

struct SelectionCase {
  std::vector<std::string> args;
  Selection want;
};

TEST(ParseOptions, OverrideRulesApplyInOrder) {
  const SelectionCase cases[] = {
      {{"/ifile"}, {1, 0, 0, 0, 0, 8, 0}},
      {{"/pbn"}, {1, 1, 1, 0, 0, 8, 0}},
      {{"/pb", "/pn"}, {1, 1, 1, 0, 0, 8, 0}},
      {{"/pBnC"}, {1, 1, 1, 1, 0, 8, 0}},
      {{"/p"}, {1, 0, 0, 0, 0, 8, 0}},
      {{"/k3", "/pb"}, {0, 0, 0, 0, 1, 3, 0}},
      {{"/k", "/pbnc"}, {0, 0, 0, 1, 1, 8, 0}},
      {{"/c"}, {1, 0, 0, 0, 1, 8, 0}},
      {{"/c3", "/pbn"}, {1, 1, 1, 0, 1, 3, 0}},
      {{"/k", "/c", "/pbn"}, {1, 0, 0, 0, 1, 8, 0}},
      {{"/k8"}, {0, 0, 0, 0, 1, 8, 0}},
      {{"/c8"}, {1, 0, 0, 0, 1, 8, 0}},
      {{"/kx"}, {0, 0, 0, 0, 1, 0, 0}},
      {{"/k264"}, {0, 0, 0, 0, 1, 8, 0}},
      {{"/k 5"}, {0, 0, 0, 0, 1, 5, 0}},
      {{"/k+7"}, {0, 0, 0, 0, 1, 7, 0}},
      {{"/k-256"}, {0, 0, 0, 0, 1, 0, 0}},
      {{"/k2", "/k5"}, {0, 0, 0, 0, 1, 5, 0}},
      {{"/d", "/ifile", "/pbnc"}, {0, 0, 0, 1, 0, 8, 1}},
      {{"/d", "/c", "/pn"}, {0, 0, 0, 0, 1, 8, 1}},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(parse(c.args), 1) << c.args[0];
    EXPECT_EQ(selection(), c.want) << c.args[0] << " (" << c.args.size() << " args)";
  }
}

TEST(ParseOptions, RefusedCommandLines) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"/x"},
      {"foo"},
      {"/"},
      {"i/file"},
      {"/I"},  // keys are case-sensitive
      {"/H"},
      {"/PBNC"},
      {"/pbz"},
      {"/p["},  // inside the letter range but not a letter of /p
      {"/pb", "/p1"},
      {"/k9"},
      {"/k-1"},
      {"/c255"},
      {"/c9", "/c3"},
      {"/h", "/zz"},
      {"/ax"},  // the battery override takes nothing after its key
      {"/ex"},  // nor does /e
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c), 0) << (c.empty() ? "(none)" : c[0]);
}

TEST(ParseOptions, FileNamesAndSimpleFlags) {
  ASSERT_EQ(parse({"/iold.rom", "/inew.rom", "/osave.rom", "/uid.rom", "/n", "/s", "/qx", "/t",
                   "/hh", "/a", "/e"}),
            1);
  EXPECT_EQ(options.ignore_power, 1);
  EXPECT_EQ(options.skip_equal, 1);
  EXPECT_STREQ(options.in_name, "new.rom");
  EXPECT_EQ(options.input, 1);
  EXPECT_STREQ(options.out_name, "save.rom");
  EXPECT_EQ(options.save, 1);
  EXPECT_STREQ(options.id_name, "id.rom");
  EXPECT_EQ(options.show_file_id, 1);
  EXPECT_EQ(options.check_rom_id, 0);
  EXPECT_EQ(options.signature_value, 18);
  EXPECT_EQ(options.quiet, 1);
  EXPECT_EQ(options.show_rom_id, 1);
  EXPECT_EQ(options.help, 1);

  ASSERT_EQ(parse({"/i"}), 1);
  EXPECT_EQ(options.input, 1);
  EXPECT_STREQ(options.in_name, "");
  // Every flag is reset by the next parse.
  EXPECT_EQ(options.save, 0);
  EXPECT_EQ(options.quiet, 0);
  EXPECT_EQ(options.ignore_power, 0);
  EXPECT_EQ(options.skip_equal, 0);
  EXPECT_EQ(options.check_rom_id, 1);
  EXPECT_EQ(options.signature_value, 0);
}

TEST(ParseOptions, NameLengthBoundary) {
  for (char key : {'i', 'o', 'u'}) {
    std::string fits = std::string("/") + key + std::string(127, 'a');
    std::string too_long = fits + "a";
    EXPECT_EQ(parse({fits}), 1) << key;
    EXPECT_EQ(parse({too_long}), 0) << key;
  }
  ASSERT_EQ(parse({"/o" + std::string(127, 'b')}), 1);
  EXPECT_EQ(std::string(options.out_name), std::string(127, 'b'));
}

TEST(Banner, ExactTextAndQuiet) {
  parse({"/t"});
  std::string text = capture_stdout(show_banner);
  EXPECT_EQ(text.rfind("Zorflash - Version 1.33 (for linux with driver)\n", 0), 0u) << text;
  EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  parse({"/q"});
  EXPECT_EQ(capture_stdout(show_banner), "");
}

TEST(Usage, ExactText) {
  const std::string want =
      " Usage: zorflashlnx2 /i<ROM filename> [/o<save ROM filename>] [/n] [/p[b][n][c]] [/s] "
      "[/k[N]] [/c[N]] [/q] [/h] [/t] [/u<ROM filename>] [/d]\n\n"
      "        /n    - Don't check ROM ID\n"
      "        /pbnc -\n"
      "                b - Program Boot Block\n"
      "                n - Program NVRAM\n"
      "                c - Destroy System CMOS\n"
      "        /k    - Program all non-critical blocks only\n"
      "        /kN   - Program N'th non-critical block only (from k0 upto k7)\n"
      "        /s    - Leave signature in BIOS\n"
      "        /q    - Silent execution\n"
      "        /h    - Print help\n"
      "        /t    - Display ROM ID string\n"
      "        /c    - Program Main BIOS and all Non-critical blocks\n"
      "        /cN   - Program Main BIOS and N'th Non-critical block (from c0 upto c7)\n"
      "        /d    - Compare ROM file (skips flashing)\n"
      "        /u<ROM filename>   -Display ROM ID \n"
      "\n";
  parse({"/q"});  // the usage ignores quiet
  EXPECT_EQ(capture_stdout(show_usage), want);
}

}  // namespace
