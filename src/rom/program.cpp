#include "rom/program.h"

#include <bitset>
#include <cstdio>
#include <cstring>

#include "flash/commands.h"
#include "flash/layout.h"
#include "rom/image.h"
#include "rom/romfile.h"
#include "rom/validate.h"
#include "run/errors.h"
#include "run/exit_codes.h"
#include "run/options.h"
#include "run/record.h"
#include "run/signals.h"

namespace {

// start <= x < start + size, all in unsigned 32-bit arithmetic.
bool in_nc_entry(int i, uint32_t x) {
  return nc_blocks.nc_start[i] <= x && x < nc_blocks.nc_start[i] + nc_blocks.nc_size[i];
}

bool block_fits_image(uint32_t address, uint32_t size) {
  if (size == 0 || size % TRANSFER_SIZE != 0 || address < RomBase) return false;
  return static_cast<uint64_t>(address - RomBase) + size <= rom_size;
}

// With /e, the blocks (by table index; a table has at most 65535) found already holding the
// file's bytes: no pass erases, writes or verifies them, and the comparison's read was their
// verify. Without /e none is set.
std::bitset<65536> equal_block;
uint32_t compared_blocks, equal_blocks;

// Every piece of the block reads back through the handler as the image holds it. A failed read
// or a bad checksum is a difference: only a block known to be equal is left alone.
bool holds_image(uint32_t address, uint32_t size, ProgressFn progress) {
  if (!block_fits_image(address, size)) return false;
  const uint8_t* image = image_slot + (address - RomBase);
  uint8_t piece[TRANSFER_SIZE];
  for (uint32_t offset = 0; offset < size; offset += TRANSFER_SIZE) {
    if (!flash_read_block(address + offset, TRANSFER_SIZE, piece, progress) ||
        memcmp(piece, image + offset, TRANSFER_SIZE) != 0) {
      return false;
    }
  }
  return true;
}

// Reads only. A block that both kinds of pass handle (a boot-block block listed as NVRAM, or
// in a chosen non-critical block) is compared once, in the main pass, for both.
void compare_pass(ProgressFn progress, PassKind kind) {
  uint32_t n = block_count();
  progress(PROGRESS_START, n > 0 ? block_address(0) : 0);
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t address = block_address(i);
    if (!block_selected(address, kind)) continue;
    if (kind == BootBlockPass && block_selected(address, MainPass)) continue;
    bool equal = holds_image(address, block_size(i), progress);
    equal_block[i] = equal;
    ++compared_blocks;
    equal_blocks += equal ? 1 : 0;
    if (equal && !options.compare) record_skipped_block(address);
  }
  progress(PROGRESS_DONE, rom_size);
}

void compare_selected_blocks() {
  compare_pass(progress_compare_flash, MainPass);
  if (options.prog_bootblock) compare_pass(progress_compare_bootblock, BootBlockPass);
}

// /d /e: the blocks that the same command without /d would program, for the compare report.
void count_differing_blocks() {
  RunOptions checked = options;
  options.prog_main = options.unchecked_prog_main;
  options.prog_bootblock = options.unchecked_prog_bootblock;
  options.prog_nvram = options.unchecked_prog_nvram;
  compare_selected_blocks();
  options = checked;
}

using BlockOp = int (*)(uint32_t, uint32_t, const uint8_t*, ProgressFn);

// One walk of the table; op is null for the erase pass.
void run_pass(ProgressFn progress, PassKind kind, BlockOp op, int code, const char* message) {
  uint32_t n = block_count();
  progress(PROGRESS_START, n > 0 ? block_address(0) : 0);
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t address = block_address(i);
    uint32_t size = block_size(i);
    if (!block_selected(address, kind) || equal_block[i]) continue;
    int ok;
    if (op == nullptr) {
      record_erasing(address);
      ok = flash_erase_block(address, size, progress);
    } else {
      ok = op(address, size, image_slot + (address - RomBase), progress);
    }
    if (!ok) {
      record_failed_block(address);
      fatal(code, message, static_cast<unsigned long>(address));
    }
  }
  progress(PROGRESS_DONE, rom_size);
}

int write_op(uint32_t a, uint32_t s, const uint8_t* src, ProgressFn p) {
  return flash_write_block(a, s, src, p);
}

}  // namespace

int in_selected_nc_block(uint32_t x) {
  if (options.nc_index == NC_ALL) return in_any_nc_block(x);
  if (options.nc_index >= NC_MAX) return 0;
  return in_nc_entry(options.nc_index, x) ? 1 : 0;
}

int in_any_nc_block(uint32_t x) {
  for (int i = 0; i < nc_blocks.nc_count && i < NC_MAX; ++i) {
    if (in_nc_entry(i, x)) return 1;
  }
  return 0;
}

int block_selected(uint32_t address, PassKind kind) {
  uint32_t x = address - RomBase;
  if (is_boot_block(address) && kind == BootBlockPass) return options.prog_bootblock;
  if (kind != MainPass) return 0;
  if (in_selected_nc_block(x)) return options.nc_mode;
  if (is_nvram_block(address)) return options.prog_nvram;
  if (options.prog_main && !is_boot_block(address)) return in_any_nc_block(x) ? 0 : 1;
  return 0;
}

int check_selected_blocks(uint32_t* bad) {
  for (uint32_t i = 0; i < block_count(); ++i) {
    uint32_t address = block_address(i);
    bool used = block_selected(address, MainPass) || block_selected(address, BootBlockPass);
    if (used && !block_fits_image(address, block_size(i))) {
      *bad = address;
      return 0;
    }
  }
  return 1;
}

void erase_pass(ProgressFn progress, PassKind kind) {
  run_pass(progress, kind, nullptr, EXIT_ERASE, "Unable to erase block: 0x%08lX\n");
}

void write_pass(ProgressFn progress, PassKind kind) {
  run_pass(progress, kind, write_op, EXIT_WRITE, "Unable to write block: 0x%08lX\n");
}

void verify_pass(ProgressFn progress, PassKind kind) {
  run_pass(progress, kind, flash_verify_block, EXIT_VERIFY,
           "Block data does not match file: 0x%08lX\n");
}

void program_flash() {
  // The file checked is the file loaded: it stays open from the check to the end of the load,
  // and the image, which is what gets programmed, is checked again.
  int r = validate_rom_file();
  if (r != 0) fail_exit(r);
  rom_file_size = file_size(rom_file);
  alloc_image();
  load_rom_image();
  r = recheck_loaded_image();
  if (r != 0) fail_exit(r);
  close_rom_file();

  if (options.nc_mode && nc_blocks.nc_count == 0) {
    if (!options.quiet) {
      fputs("\n No non-critical blocks found in ROM file\n\n", stdout);
      fflush(stdout);
    }
    if (!options.prog_main) fail_exit(EXIT_NO_NC_BLOCKS);
  }
  if (options.compare) {
    // Nothing would show the count under /q: the flash is not read for it.
    if (options.skip_equal && !options.quiet) count_differing_blocks();
    return;
  }

  uint32_t bad = 0;
  if (!check_selected_blocks(&bad)) {
    fatal(EXIT_INVALID_BLOCK, "Invalid block in BIOS block table: 0x%08lX\n",
          static_cast<unsigned long>(bad));
  }

  // The comparison only reads: a cut or a stop signal during it leaves the flash as it was.
  if (options.skip_equal) compare_selected_blocks();

  // From the first erase on, nothing from the terminal or a closed pipe may stop the run
  // halfway through the flash; the clean-up drops what was held.
  hold_stop_signals();
  record_run_start();
  erase_pass(progress_erase_flash, MainPass);
  write_pass(progress_write_flash, MainPass);
  verify_pass(progress_verify_flash, MainPass);
  if (options.prog_bootblock) {
    erase_pass(progress_erase_bootblock, BootBlockPass);
    write_pass(progress_write_bootblock, BootBlockPass);
    verify_pass(progress_verify_bootblock, BootBlockPass);
  }
  record_passes_done();
  if (options.skip_equal && !options.quiet) {
    printf(" Blocks skipped as already equal: %lu, programmed: %lu\n", static_cast<unsigned long>(equal_blocks),
           static_cast<unsigned long>(compared_blocks - equal_blocks));
    fflush(stdout);
  }
}

uint32_t differing_blocks() { return compared_blocks - equal_blocks; }
uint32_t compared_block_count() { return compared_blocks; }
