// Discovery over an arbitrary system BIOS window and an arbitrary flash-info window, as the tool
// does it once both are mapped: the header search and its bounds, the parameter block, the
// layout tables, and the block selection over them.
//
// Input: flags and select (fuzz_options); a non-critical list (a count byte, eight 32-bit starts,
// eight 32-bit sizes); for the BIOS window a 16-bit place, a 16-bit count and that many bytes,
// copied to that place; for the flash-info window a 16-bit place and the rest of the input. Both
// windows are 65535 bytes, zero where nothing was copied; a copy is cut at the window's end.
#include <cstdlib>
#include <cstring>

#include "flash/commands.h"
#include "flash/layout.h"
#include "flash/le.h"
#include "fuzz.h"
#include "input.h"
#include "platform/physmem.h"
#include "rom/image.h"
#include "rom/program.h"

namespace {

uint8_t* bios;  // both exactly WINDOW_LENGTH bytes, so that any read past them is caught
uint8_t* info;

// What the passes rely on for a block they program: image_slot + (address - RomBase) and size
// bytes on from there lie inside the image, in whole kilobytes.
bool fits_image(uint32_t address, uint32_t size) {
  return size != 0 && size % TRANSFER_SIZE == 0 && address >= RomBase &&
         static_cast<uint64_t>(address - RomBase) + size <= rom_size;
}

bool selected(uint32_t address) {
  return block_selected(address, MainPass) || block_selected(address, BootBlockPass);
}

void run(const uint8_t* data, size_t size) {
  Input in = {data, size};
  if (in.left < 2) return;
  fuzz_options(in.p[0], in.p[1], nullptr);
  in.p += 2;
  in.left -= 2;
  if (in.left >= 1) {
    nc_blocks.nc_count = in.p[0];
    in.p += 1;
    in.left -= 1;
  }
  for (int i = 0; i < NC_MAX; ++i) nc_blocks.nc_start[i] = take32(in);
  for (int i = 0; i < NC_MAX; ++i) nc_blocks.nc_size[i] = take32(in);
  uint32_t place = take16(in);
  fill(bios, WINDOW_LENGTH, in, place, take16(in));
  place = take16(in);
  fill(info, WINDOW_LENGTH, in, place, in.left);

  int pos = find_flash_header(bios, WINDOW_LENGTH);
  if (pos < 0) return;
  if (!header_in_window(bios, WINDOW_LENGTH, static_cast<uint32_t>(pos))) return;
  // What locate_flash_interface then takes from the header and the parameter block.
  flash_header = bios + pos;
  param_block = flash_header + flash_header[HEADER_PARAM_OFFSET];
  volatile uint8_t sink = 0;
  for (uint32_t i = 0; i < PARAM_BLOCK_SIZE; ++i) sink = sink ^ param_block[i];
  smi_port = le16(flash_header + HEADER_SMI_PORT);
  sink = sink ^ static_cast<uint8_t>(le16(flash_header + HEADER_INFO_PARAGRAPH));
  if (!read_flash_info(info, WINDOW_LENGTH, le16(flash_header + HEADER_INFO_POINTER))) return;

  uint32_t n = block_count();
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t address = block_address(i);
    sink = sink ^ static_cast<uint8_t>(block_size(i) + is_boot_block(address) + is_nvram_block(address));
  }
  for (uint32_t i = 0; i < nvram_count(); ++i) sink = sink ^ static_cast<uint8_t>(is_nvram_block(le32(nvram_list + 2 + 8 * i)));

  uint32_t bad = 0;
  if (check_selected_blocks(&bad)) {
    for (uint32_t i = 0; i < n; ++i) {
      if (selected(block_address(i))) fuzz_require(fits_image(block_address(i), block_size(i)), "a selected block passed that does not fit the image");
    }
  } else {
    bool found = false;
    for (uint32_t i = 0; i < n && !found; ++i) {
      found = block_address(i) == bad && selected(bad) && !fits_image(bad, block_size(i));
    }
    fuzz_require(found, "the block reported is not a bad selected block");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_silence_stdout();
  bios = static_cast<uint8_t*>(malloc(WINDOW_LENGTH));
  info = static_cast<uint8_t*>(malloc(WINDOW_LENGTH));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (setjmp(fuzz_end) == 0) run(data, size);
  fuzz_reset();
  return 0;
}
