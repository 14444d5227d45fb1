#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/driver.h"

namespace {

unsigned scan(const std::string& text, unsigned start = 0) {
  FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  unsigned major = start;
  scan_device_list(f, &major);
  fclose(f);
  return major;
}

TEST(DeviceList, MajorFromTheMatchingPiece) {
  const std::string list =
      "Character devices:\n  1 mem\n  4 /dev/vc/0\n254 zorfldrv\n\nBlock devices:\n  8 sd\n";
  EXPECT_EQ(scan(list), 254u);
  EXPECT_EQ(driver_device_number(254), 65024u);
  EXPECT_EQ(scan("  1 mem\n 10 zorfldrv\n 11 zorfldrv\n"), 10u);  // the first match ends it
  EXPECT_EQ(scan("zorfldrv 254\n"), 0u);                          // no leading number
  EXPECT_EQ(scan("  1 mem\n"), 0u);
  EXPECT_EQ(scan("  1 mem\n", 77), 77u);  // no match leaves the value as it was
  EXPECT_EQ(scan("\t 300 zorfldrv_mod\n"), 300u);
}

TEST(DeviceList, LongLinesArriveInPieces) {
  // 127 characters fill one piece; the name in the next piece is tested on its own and that
  // piece starts with no number.
  std::string line = "200 " + std::string(123, 'x') + "zorfldrv\n";
  EXPECT_EQ(scan(line), 0u);
  // A piece that begins with digits that continue the previous piece counts as a number.
  std::string split = std::string(127, 'y') + "42 zorfldrv\n";
  EXPECT_EQ(scan(split), 42u);
  std::string inside = "201 " + std::string(100, 'z') + " zorfldrv\n";
  EXPECT_EQ(scan(inside), 201u);
}

TEST(DeviceList, ParseMajor) {
  EXPECT_EQ(parse_major("254 zorfldrv"), 254u);
  EXPECT_EQ(parse_major("   7x"), 7u);
  EXPECT_EQ(parse_major("-5 zorfldrv"), 0u);
  EXPECT_EQ(parse_major("99999999999999 zorfldrv"), 0xFFFFFFFFu);
  EXPECT_EQ(parse_major("4294967294"), 0xFFFFFFFEu);  // one below the clamp, and at and past it
  EXPECT_EQ(parse_major("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(parse_major("4294967296"), 0xFFFFFFFFu);
}

}  // namespace
