#include "run/progress.h"

#include <gtest/gtest.h>

#include "capture.h"
#include "run/errors.h"
#include "run/options.h"

namespace {

std::string run(uint32_t start, uint32_t position, uint32_t total) {
  options.quiet = 0;
  return capture_stdout([&] {
    progress_write_flash(PROGRESS_START, start);
    progress_write_flash(position, total);
  });
}

const char LABEL[] = " Writing flash ......... ";

TEST(Progress, LinesAndPercentages) {
  struct Case {
    uint32_t start, position, total;
    const char* tail;
  } cases[] = {
      {0x80000, 0xC0000, 0x80000, "0x000C0000 (50%) \r"},
      {0x80000, 0x80000, 0x80000, "0x00080000 (0%) \r"},
      {0, 0x7F000, 0x80000, "0x0007F000 (99%) \r"},
      // (position - start) * 100 wraps modulo 2^32 from 42949673 on.
      {0, 42949673, 0x4000000, "0x028F5C29 (0%) \r"},
      {0, 42949672, 0x4000000, "0x028F5C28 (63%) \r"},
      // A position below the start wraps too; the quotient is printed as it comes.
      {0x1000, 0, 0x10000, "0x00000000 (65529%) \r"},
      // Total 0 must not divide.
      {0, 0x1234, 0, "0x00001234 (0%) \r"},
  };
  for (const auto& c : cases) {
    std::string want = std::string(LABEL) + "\r" + LABEL + c.tail;
    EXPECT_EQ(run(c.start, c.position, c.total), want) << c.tail;
  }
}

TEST(Progress, DoneAndEveryLabel) {
  options.quiet = 0;
  struct {
    ProgressFn fn;
    const char* label;
  } labels[] = {
      {progress_read_file, " Reading file .......... "},
      {progress_read_flash, " Reading flash ......... "},
      {progress_write_flash, " Writing flash ......... "},
      {progress_erase_flash, " Erasing flash ......... "},
      {progress_verify_flash, " Verifying flash ....... "},
      {progress_erase_bootblock, " Erasing BootBlock ..... "},
      {progress_write_bootblock, " Writing BootBlock ..... "},
      {progress_verify_bootblock, " Verifying BootBlock ... "},
      {progress_compare_flash, " Comparing flash ....... "},
      {progress_compare_bootblock, " Comparing BootBlock ... "},
  };
  for (const auto& l : labels) {
    EXPECT_EQ(strlen(l.label), 25u);
    EXPECT_EQ(capture_stdout([&] { l.fn(PROGRESS_DONE, 0x80000); }),
              std::string(l.label) + "done              \n");
  }
}

TEST(Progress, QuietPrintsNothing) {
  options.quiet = 1;
  std::string text = capture_stdout([] {
    progress_read_flash(PROGRESS_START, 0);
    progress_read_flash(0x400, 0x800);
    progress_read_flash(PROGRESS_DONE, 0x800);
  });
  options.quiet = 0;
  EXPECT_EQ(text, "");
}

TEST(ErrorText, FrameAndCutAt79) {
  set_error("Unable to read block: 0x%08lX\n", 0xFFFC0000ul);
  EXPECT_EQ(capture_stdout(print_error), "\nERROR: Unable to read block: 0xFFFC0000\n\n\n");
  std::string name(200, 'x');
  set_error("Cannot open %s\n", name.c_str());
  EXPECT_EQ(strlen(ErrorText), 79u);
  EXPECT_EQ(std::string(ErrorText), "Cannot open " + std::string(67, 'x'));
}

}  // namespace
