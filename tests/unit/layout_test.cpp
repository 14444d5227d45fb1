#include "flash/layout.h"

#include <gtest/gtest.h>

#include "layout_fixture.h"

namespace {

std::vector<uint8_t> bios_with_header_at(uint32_t pos, uint8_t param_offset = 0x10) {
  std::vector<uint8_t> w(WINDOW_LENGTH, 0xAA);
  uint32_t n = pos + 4 <= WINDOW_LENGTH ? 4 : WINDOW_LENGTH - pos;
  memcpy(&w[pos], "$QZX", n);
  if (pos + 4 < WINDOW_LENGTH) w[pos + 4] = param_offset;
  return w;
}

TEST(FlashHeader, SearchAndWindowBounds) {
  struct Case {
    uint32_t pos;
    uint8_t param;
    int found;
    int in_window;
  } cases[] = {
      {0, 0x10, 0, 1},
      {0x1234, 0, 0x1234, 1},        // parameter block at the header itself
      {65521, 0, 65521, 0},          // header fits, but its parameter block cannot
      {65518, 0, 65518, 1},          // 17-byte parameter block ends at 0xFFFE
      {65519, 0, 65519, 0},          // ... one further it would not fit
      {65522, 0, 65522, 0},          // header fields past the window
      {65525, 0, 65525, 0},
      {65530, 0, 65530, 0},
      {65531, 0, -1, 0},             // not searched at all
      {0x8000, 0xFF, 0x8000, 1},
      {0xFF00, 0xFF, 0xFF00, 0},     // parameter block past the window
  };
  for (const auto& c : cases) {
    auto w = bios_with_header_at(c.pos, c.param);
    int found = find_flash_header(w.data(), WINDOW_LENGTH);
    EXPECT_EQ(found, c.found) << c.pos;
    if (found >= 0) {
      EXPECT_EQ(header_in_window(w.data(), WINDOW_LENGTH, static_cast<uint32_t>(found)),
                c.in_window)
          << c.pos;
    }
  }
  std::vector<uint8_t> none(WINDOW_LENGTH, 0);
  EXPECT_EQ(find_flash_header(none.data(), WINDOW_LENGTH), -1);
}

TEST(FlashInfo, RomSizeAndBase) {
  struct {
    uint16_t kb;
    uint32_t size, base;
  } cases[] = {{512, 0x80000, 0x80000}, {1024, 0x100000, 0}, {2048, 0x200000, 0},
               {64, 0x10000, 0xF0000},  {65535, 65535u * 1024, 0}};
  for (const auto& c : cases) {
    InfoWindow w(c.kb, {{0, 0x1000}}, 0, {});
    ASSERT_EQ(w.install(), 1);
    EXPECT_EQ(rom_size, c.size) << c.kb;
    EXPECT_EQ(RomBase, c.base) << c.kb;
  }
}

TEST(FlashInfo, TablesOutsideTheWindowAreRefused) {
  auto good = default_layout();
  ASSERT_EQ(good.install(), 1);

  auto record_past = default_layout();
  put_le32(&record_past.bytes[InfoWindow::POINTER], WINDOW_LENGTH - 13);
  EXPECT_EQ(record_past.install(), 0);

  auto record_edge = default_layout();  // a 14-byte record ending at the last byte fits
  put_le32(&record_edge.bytes[InfoWindow::POINTER], WINDOW_LENGTH - 14);
  memcpy(&record_edge.bytes[WINDOW_LENGTH - 14], &good.bytes[InfoWindow::RECORD], 14);
  EXPECT_EQ(record_edge.install(), 1);

  auto huge_pointer = default_layout();
  put_le32(&huge_pointer.bytes[InfoWindow::POINTER], 0xFFFFFFF8u);
  EXPECT_EQ(huge_pointer.install(), 0);

  EXPECT_EQ(read_flash_info(good.bytes.data(), WINDOW_LENGTH, 0xFFFC), 0);  // pointer word cut

  auto many_blocks = default_layout();
  many_blocks.put16(InfoWindow::TABLE, 8191);  // 4 + 8 * 8191 bytes from 0x200 pass the end
  EXPECT_EQ(many_blocks.install(), 0);

  auto boot_over = default_layout();
  boot_over.put16(InfoWindow::TABLE + 2, 11);  // more boot blocks than entries
  EXPECT_EQ(boot_over.install(), 0);
  auto all_boot = default_layout();  // every entry a boot block, and the empty table: both fine
  all_boot.put16(InfoWindow::TABLE + 2, 10);
  EXPECT_EQ(all_boot.install(), 1);
  EXPECT_EQ(InfoWindow(512, {}, 0, {}).install(), 1);

  auto nvram_over = default_layout();
  nvram_over.put16(InfoWindow::NVRAM, 5000);
  EXPECT_EQ(nvram_over.install(), 0);
}

TEST(FlashInfo, Membership) {
  auto w = default_layout();
  ASSERT_EQ(w.install(), 1);
  EXPECT_EQ(is_boot_block(0xF0000), 1);
  EXPECT_EQ(is_boot_block(0xF8000), 1);
  EXPECT_EQ(is_boot_block(0xF4000), 0);  // start addresses only, not ranges
  EXPECT_EQ(is_boot_block(0xE8000), 0);
  EXPECT_EQ(is_nvram_block(0xE8000), 1);
  EXPECT_EQ(is_nvram_block(0xE0000), 1);
  EXPECT_EQ(is_nvram_block(0xF0000), 0);

  InfoWindow none(512, {{0x80000, 0x40000}, {0xC0000, 0x40000}}, 0, {});
  ASSERT_EQ(none.install(), 1);
  EXPECT_EQ(is_boot_block(0xC0000), 0);
  EXPECT_EQ(is_boot_block(0x80000), 0);
  EXPECT_EQ(is_nvram_block(0x80000), 0);
}

}  // namespace
