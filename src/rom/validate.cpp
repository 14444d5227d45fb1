#include "rom/validate.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash/layout.h"
#include "flash/le.h"
#include "rom/image.h"
#include "rom/program.h"
#include "rom/romfile.h"
#include "run/errors.h"
#include "run/exit_codes.h"
#include "run/options.h"

int size_ok;
int rom_id_ok;
int bootblock_ok;

namespace {

int read_rom_id_at(FILE* file, int64_t offset, char* id) {
  uint32_t got = file_read_at(file, offset, ROM_ID_LENGTH, id);
  id[ROM_ID_LENGTH] = '\0';
  return got == ROM_ID_LENGTH;
}

// A check that fails on a file that changed since it was opened, a short read of a file cut
// meanwhile among them, reports the change: the file is not the one that was asked for.
bool failed_on_changed_file() {
  if (options.compare || !rom_file_changed()) return false;
  report_error("%s", ROM_FILE_CHANGED);
  return true;
}
}  // namespace

uint32_t word_sum(const uint8_t* region, uint32_t length) { return le32_sum(region, length); }

// A marker starts at some i with i + 5 <= length. Only a '$' can start one, and memchr finds
// those many bytes at a time: a byte-by-byte compare was about 2 % of a whole programming run.
int has_bbm_marker(const uint8_t* region, uint32_t length) {
  if (length < 5) return 0;
  const uint8_t* end = region + length - 4;
  for (const uint8_t* p = region; p < end; ++p) {
    p = static_cast<const uint8_t*>(memchr(p, '$', static_cast<size_t>(end - p)));
    if (p == nullptr) return 0;
    if (memcmp(p, "$BBM", 4) == 0) return 1;
  }
  return 0;
}

int check_rom_size() {
  if (file_size(rom_file) == static_cast<int64_t>(rom_size)) {
    size_ok = 1;
    return 0;
  }
  size_ok = 0;
  return failed_on_changed_file() ? EXIT_NO_INPUT : EXIT_ROM_SIZE;
}

int match_rom_id() {
  char id[ROM_ID_LENGTH + 1];
  if (!read_rom_id_at(rom_file, static_cast<int64_t>(rom_size) - 32, id)) {
    if (failed_on_changed_file()) return EXIT_NO_INPUT;
    if (!options.compare) report_error("Error in reading ROM ID \n");
    return EXIT_FILE_READ;
  }
  if (memcmp(id, RomId, 5) == 0) return 0;
  // An erased ROM ID is no other BIOS: a programming run stopped after erasing the last block
  // left it so, and the file is most likely the right one.
  if (memcmp(RomId, "\xFF\xFF\xFF\xFF\xFF", 5) == 0) {
    fputs(" The BIOS ROM ID is erased, most likely by a programming run that did not finish;\n"
          " /n programs the file without this check\n",
          stdout);
    fflush(stdout);
  }
  return EXIT_ROM_ID;
}

namespace {

// Indices of the boot-block entries, in address order.
uint32_t boot_order[0x10000];

// Puts the boot-block entries in address order, whatever order the table lists them in, and
// returns the region's length: the sum of their sizes. -1 when an entry, or the region, has no
// place in the ROM; such a region is refused before a buffer of its size is asked for.
int64_t boot_region_layout() {
  uint32_t n = block_count();
  uint32_t b = boot_block_count();
  uint64_t total = 0;
  for (uint32_t k = 0; k < b; ++k) {
    uint32_t i = n - b + k;
    boot_order[k] = i;
    uint32_t address = block_address(i);
    if (address < RomBase || static_cast<uint64_t>(address - RomBase) + block_size(i) > rom_size) return -1;
    total += block_size(i);
  }
  if (total > rom_size) return -1;
  std::sort(boot_order, boot_order + b, [](uint32_t x, uint32_t y) {
    return block_address(x) != block_address(y) ? block_address(x) < block_address(y) : x < y;
  });
  return static_cast<int64_t>(total);
}

// The region's bytes, entry after entry in address order, from the image or else the ROM file.
int gather_boot_region(uint8_t* region, const uint8_t* image) {
  uint32_t at = 0;
  for (uint32_t k = 0; k < boot_block_count(); ++k) {
    uint32_t offset = block_address(boot_order[k]) - RomBase;
    uint32_t size = block_size(boot_order[k]);
    if (image != nullptr) memcpy(region + at, image + offset, size);
    for (uint32_t p = 0; image == nullptr && p < size; p += 4096) {
      uint32_t piece = size - p < 4096 ? size - p : 4096;
      if (file_read_at(rom_file, static_cast<int64_t>(offset) + p, piece, region + at + p) != piece) return 0;
    }
    at += size;
  }
  return 1;
}

// Whether the image's boot-block entries, in address order, hold the region's bytes.
bool holds_region(const uint8_t* image, const uint8_t* region) {
  uint32_t at = 0;
  for (uint32_t k = 0; k < boot_block_count(); ++k) {
    uint32_t offset = block_address(boot_order[k]) - RomBase;
    uint32_t size = block_size(boot_order[k]);
    if (memcmp(image + offset, region + at, size) != 0) return false;
    at += size;
  }
  return true;
}

// 0, 8 for a "$BBM" without both b and n (reported when report is set), or 5 for a region
// that does not sum to zero.
int judge_boot_region(const uint8_t* region, uint32_t length, bool report) {
  if (has_bbm_marker(region, length) && !(options.prog_bootblock && options.prog_nvram)) {
    if (report) report_error("Cannot program this BIOS without Boot Block and NVRAM\n");
    return EXIT_NEED_BOOT_NVRAM;
  }
  return word_sum(region, length) != 0 ? EXIT_BOOT_BLOCK : 0;
}

}  // namespace

int check_boot_block() {
  if (boot_block_count() == 0) return 0;
  int64_t total = boot_region_layout();
  if (total < 0) {
    if (!options.compare) report_error("Unable to read from disk\n");
    return EXIT_FILE_READ;
  }
  uint32_t length = static_cast<uint32_t>(total);
  image_slot = alloc_buffer(length);
  if (image_slot == nullptr) {
    report_error("Out of memory\n");
    return EXIT_NO_MEMORY;
  }
  if (!gather_boot_region(image_slot, nullptr)) {
    if (failed_on_changed_file()) return EXIT_NO_INPUT;
    if (!options.compare) report_error("Unable to read from disk\n");
    return EXIT_FILE_READ;
  }
  int r = judge_boot_region(image_slot, length, true);
  if (r == EXIT_NEED_BOOT_NVRAM) return r;
  if (r == 0) {
    // Kept for the recheck: the image's region holding these very bytes needs no second look.
    free(checked_region);
    checked_region = image_slot;
    checked_length = length;
    image_slot = nullptr;
    return 0;
  }
  free_image();
  return r;
}

int recheck_loaded_image() {
  // A BIOS that reports no ROM size leaves no ROM ID in the image to compare.
  int id_ok = !options.check_rom_id || (rom_size >= 32 && memcmp(image_slot + rom_size - 32, RomId, 5) == 0);
  int boot_ok = 1;
  int64_t total = boot_block_count() > 0 ? boot_region_layout() : -1;
  // Bytes that passed the check pass it again; only a region that differs is judged anew.
  bool as_checked = total >= 0 && checked_region != nullptr && checked_length == total &&
                    holds_region(image_slot, checked_region);
  free(checked_region);
  checked_region = nullptr;
  if (boot_block_count() > 0 && !as_checked) {
    uint8_t* region = total < 0 ? nullptr : alloc_buffer(static_cast<uint32_t>(total));
    if (total >= 0 && region == nullptr) fatal(EXIT_NO_MEMORY, "Out of memory\n");
    boot_ok = region != nullptr && gather_boot_region(region, image_slot) &&
              judge_boot_region(region, static_cast<uint32_t>(total), false) == 0;
    free(region);
  }
  // A check that passed on the file and fails on the image read whole from it: the file was
  // changed in between, as it was when its size or times moved.
  bool lost = size_ok && ((options.check_rom_id && rom_id_ok && !id_ok) || (bootblock_ok && !boot_ok));
  if (rom_file_changed() || lost) {
    report_error("%s", ROM_FILE_CHANGED);
    return EXIT_NO_INPUT;
  }
  // A file of another size compares on the bytes that were loaded.
  rom_id_ok = rom_id_ok && id_ok;
  bootblock_ok = bootblock_ok && boot_ok;
  return 0;
}

int validate_rom_file() {
  if (rom_file == nullptr && !open_rom_file()) {
    report_error("Unable to open ROM file.");
    return EXIT_NO_INPUT;
  }
  int r = check_rom_size();
  if (r == EXIT_NO_INPUT) return r;
  if (r != 0 && !options.compare) {
    report_error("ROM file size does not match existing BIOS size.");
    return r;
  }
  if (options.check_rom_id) {
    r = match_rom_id();
    if (r == EXIT_NO_INPUT) return r;
    if (r != 0 && !options.compare) {
      report_error("ROM file ROMID is not compatible with existing BIOS ROMID.");
      return r;
    }
    rom_id_ok = r == 0;
  }
  r = check_boot_block();
  if (r == EXIT_NO_INPUT) return r;
  if (r != 0 && !options.compare) {
    report_error("Rom file boot block is not valid.");
    return r;
  }
  bootblock_ok = r == 0;
  return 0;
}

int show_file_rom_id(const char* path) {
  FILE* file = open_regular_file(path);
  if (file == nullptr) {
    report_error("File Open Error");
    return EXIT_FILE_READ;
  }
  int64_t size = file_size(file);
  char id[ROM_ID_LENGTH + 1];
  if (!read_rom_id_at(file, size - 32, id)) {
    report_error("Unable to read from disk\n");
    fclose(file);
    return EXIT_FILE_READ;
  }
  fclose(file);
  if (std::popcount(static_cast<uint64_t>(size)) < 2) {
    if (!options.quiet) printf(" ROMID[%s].......%s\n", path, id);
    return 0;
  }
  report_error("Invalid ROM file [%s]", path);
  return EXIT_ROM_SIZE;
}

void compare_report() {
  if (!options.quiet) {
    printf("\n Comparison of ROM size....%s", size_ok ? "Ok" : "Failed");
    printf("\n Comparison of ROM ID......%s", rom_id_ok ? "Ok" : "Failed");
    printf("\n Checksum of bootblock.....%s", bootblock_ok ? "Ok" : "Failed");
    printf("\n Status of comparison......%s",
           size_ok && rom_id_ok && bootblock_ok ? "Consistent" : "Inconsistent");
    if (options.skip_equal) {
      printf("\n Differing blocks..........%lu of %lu", static_cast<unsigned long>(differing_blocks()),
             static_cast<unsigned long>(compared_block_count()));
    }
  }
  if (!size_ok) fail_exit(EXIT_CMP_SIZE);
  if (!rom_id_ok) fail_exit(EXIT_CMP_ROM_ID);
  if (!bootblock_ok) fail_exit(EXIT_CMP_BOOT_BLOCK);
}
