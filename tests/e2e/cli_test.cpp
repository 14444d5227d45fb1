// The command line of the binary itself: these runs end before any platform access, and run on
// no machine all the same, so that a fault that lets one go on cannot reach this computer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "harness.h"

namespace {

const std::string BANNER_START = "Zorflash - Version 1.33 (for linux with driver)\n";

std::string usage_text() {
  return " Usage: zorflashlnx2 /i<ROM filename> [/o<save ROM filename>] [/n] [/p[b][n][c]] [/s] "
         "[/k[N]] [/c[N]] [/q] [/h] [/t] [/u<ROM filename>] [/d]\n\n";
}

TEST(CommandLine, BadCommandLinesShowUsageAndExit1) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"/x"}, {"foo"}, {"/pbz"}, {"/k9"}, {"/i" + std::string(128, 'a')}};
  for (const auto& args : cases) {
    RunResult r = run_tool(args);
    EXPECT_EQ(r.code, 1) << (args.empty() ? "(none)" : args[0]);
    EXPECT_EQ(r.out.rfind(usage_text(), 0), 0u) << r.out;  // usage first: no banner
    EXPECT_EQ(r.err, "");
  }
}

TEST(CommandLine, HelpShowsBannerThenUsage) {
  RunResult r = run_tool({"/h"});
  EXPECT_EQ(r.code, 0);
  ASSERT_EQ(r.out.rfind(BANNER_START, 0), 0u) << r.out;
  size_t usage_at = r.out.find(" Usage:");
  ASSERT_NE(usage_at, std::string::npos);
  EXPECT_EQ(r.out.substr(usage_at - 2, 2), "\n\n");

  RunResult quiet = run_tool({"/h", "/q"});
  EXPECT_EQ(quiet.code, 0);
  EXPECT_EQ(quiet.out, r.out.substr(usage_at));
}

// Every start of the tool goes through the virtual PC or its no-machine guard; the harness
// refuses any other.
TEST(ToolStarts, OnlyOnTheVirtualPcOrWithNoMachine) {
  const std::string tool = TOOL_PATH, vpc = ZORVPC_PATH;
  std::vector<std::string> guard = no_machine_words();
  auto guarded = [&](std::vector<std::string> rest) {
    rest.insert(rest.begin(), guard.begin(), guard.end());
    return rest;
  };
  const struct {
    const char* name;
    std::vector<std::string> argv;
    bool allowed;
  } cases[] = {
      {"bare", {tool, "/h"}, false},
      {"inside a shell command", {"sh", "-c", tool + " /t"}, false},
      {"by name on PATH", {"zorflashlnx2", "/t"}, false},
      {"under another wrapper", {"valgrind", "-q", tool, "/t"}, false},
      {"launcher without run", {vpc, "show", "pc", tool}, false},
      {"no machine", guarded({tool, "/h"}), true},
      {"no machine, wrapped", guarded({"valgrind", "-q", tool, "/t"}), true},
      {"virtual PC", {vpc, "run", "pc", "--", tool, "/t"}, true},
      {"virtual PC behind a shell", {"sh", "-c", "exec \"$@\"", "sh", vpc, "run", "pc", "--", tool}, true},
      {"another program", {"cmp", "a", "b"}, true},
  };
  for (const auto& c : cases) EXPECT_EQ(tool_guarded(c.argv), c.allowed) << c.name;
  EXPECT_THROW(run_command({tool, "/h"}, "."), std::logic_error);

  // The guard's words load the library and leave it no machine, whatever the caller had set.
  setenv("ZORVPC_STATE", "/nonexistent", 1);
  RunResult r = run_command(guarded({"sh", "-c", "echo ${ZORVPC_STATE-none}; grep -c libzorvpc /proc/$$/maps"}), ".");
  unsetenv("ZORVPC_STATE");
  EXPECT_EQ(r.out.substr(0, 5), "none\n") << r.out << r.err;
  EXPECT_NE(r.out.substr(5), "0\n") << r.out;
}

}  // namespace
