// The command line of the binary itself: these runs end before any platform access.
#include <gtest/gtest.h>

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

}  // namespace
