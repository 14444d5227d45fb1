// Builds a flash-info window in test memory and makes it the run's layout.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "flash/layout.h"
#include "flash/le.h"
#include "platform/physmem.h"

struct InfoWindow {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(WINDOW_LENGTH, 0);
  static constexpr uint16_t POINTER = 0x20;
  static constexpr uint32_t RECORD = 0x100;
  static constexpr uint16_t TABLE = 0x200;
  static constexpr uint16_t NVRAM = 0x8000;

  InfoWindow(uint16_t kb, const std::vector<std::pair<uint32_t, uint32_t>>& blocks, uint16_t boot,
             const std::vector<uint32_t>& nvram) {
    put_le32(&bytes[POINTER], RECORD);
    put16(RECORD + INFO_ROM_KB, kb);
    put16(RECORD + INFO_BLOCK_TABLE, TABLE);
    put16(RECORD + INFO_NVRAM_LIST, NVRAM);
    put16(TABLE, static_cast<uint16_t>(blocks.size()));
    put16(TABLE + 2, boot);
    for (size_t i = 0; i < blocks.size(); ++i) {
      put_le32(&bytes[TABLE + 4 + 8 * i], blocks[i].first);
      put_le32(&bytes[TABLE + 8 + 8 * i], blocks[i].second);
    }
    put16(NVRAM, static_cast<uint16_t>(nvram.size()));
    for (size_t i = 0; i < nvram.size(); ++i) put_le32(&bytes[NVRAM + 2 + 8 * i], nvram[i]);
  }
  void put16(uint32_t at, uint16_t v) {
    bytes[at] = static_cast<uint8_t>(v);
    bytes[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  int install() { return read_flash_info(bytes.data(), WINDOW_LENGTH, POINTER); }
};

// The layout of the virtual PC's default machine: 512 KB at 0x80000, six 64 KB main blocks,
// two 32 KB NVRAM blocks, a boot block of two 32 KB entries at the top.
inline InfoWindow default_layout() {
  return InfoWindow(512,
                    {{0x80000, 0x10000},
                     {0x90000, 0x10000},
                     {0xA0000, 0x10000},
                     {0xB0000, 0x10000},
                     {0xC0000, 0x10000},
                     {0xD0000, 0x10000},
                     {0xE0000, 0x8000},
                     {0xE8000, 0x8000},
                     {0xF0000, 0x8000},
                     {0xF8000, 0x8000}},
                    2, {0xE0000, 0xE8000});
}
