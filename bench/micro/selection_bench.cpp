// Block selection over the largest table a 64 KB flash-info window can hold: 8191 entries.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "flash/layout.h"
#include "flash/le.h"
#include "platform/physmem.h"
#include "rom/image.h"
#include "rom/program.h"
#include "run/options.h"

namespace {

constexpr uint32_t ENTRIES = 8191;
constexpr uint32_t BLOCK = 0x2000;
constexpr uint32_t TABLE_BYTES = ENTRIES * 8;

constexpr uint32_t entry_at(uint32_t j) { return 4 + 8 * j; }

// The table fills the window from offset 0, so the record, its pointer and the NVRAM list
// have to share bytes with entries: the record's fields are the last entry's address and
// size, the pointer is the size of the entry before it, and the NVRAM list's count is the top
// half of entry 4095's size, with entries 4096 and 4097 as its two blocks. The last two
// entries, odd as their values are, are the boot block.
std::vector<uint8_t> big_window() {
  std::vector<uint8_t> w(WINDOW_LENGTH, 0);
  auto put16 = [&](uint32_t at, uint16_t v) {
    w[at] = static_cast<uint8_t>(v);
    w[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  put16(0, ENTRIES);
  put16(2, 2);
  for (uint32_t j = 0; j < ENTRIES; ++j) {
    put_le32(&w[entry_at(j)], j * BLOCK);
    put_le32(&w[entry_at(j) + 4], BLOCK);
  }
  constexpr uint32_t NVRAM = entry_at(4096) - 2;
  put_le32(&w[entry_at(4095) + 4], (2u << 16) | BLOCK);  // count 2
  constexpr uint32_t RECORD = entry_at(ENTRIES - 1) - INFO_ROM_KB;
  put_le32(&w[entry_at(ENTRIES - 1)], 0x03FF0000u | 65535u);  // ROM of 65535 KB
  put_le32(&w[entry_at(ENTRIES - 1) + 4], NVRAM << 16);       // table at 0, NVRAM list
  put_le32(&w[entry_at(ENTRIES - 2) + 4], RECORD);            // the pointer
  return w;
}

constexpr uint16_t POINTER = entry_at(ENTRIES - 2) + 4;

void block_selected_table(benchmark::State& state) {
  std::vector<uint8_t> window = big_window();
  if (!read_flash_info(window.data(), WINDOW_LENGTH, POINTER) || block_count() != ENTRIES ||
      nvram_count() != 2 || rom_size != 65535u * 1024) {
    state.SkipWithError("window not accepted");
    return;
  }
  // A plain programming run, and two non-critical blocks found in the file.
  options.prog_main = 1;
  options.prog_bootblock = 0;
  options.prog_nvram = 0;
  options.nc_mode = 0;
  options.nc_index = NC_ALL;
  nc_blocks = {};
  nc_blocks.nc_count = 2;
  nc_blocks.nc_start[0] = 0x100000;
  nc_blocks.nc_size[0] = 0x10000;
  nc_blocks.nc_start[1] = 0x3000000;
  nc_blocks.nc_size[1] = 0x8000;

  uint32_t selected = 0;
  for (auto _ : state) {
    selected = 0;
    for (uint32_t i = 0; i < ENTRIES; ++i) selected += block_selected(block_address(i), MainPass);
    benchmark::DoNotOptimize(selected);
  }
  // All but the boot block, the NVRAM blocks and the 8 + 4 blocks inside the two NC ranges.
  if (selected != ENTRIES - 2 - 2 - 12) state.SkipWithError("unexpected selection");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * TABLE_BYTES);
}

}  // namespace

BENCHMARK(block_selected_table)->Name("block_selected")->Arg(ENTRIES * 8);
