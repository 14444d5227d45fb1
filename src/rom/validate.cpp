#include "rom/validate.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "flash/layout.h"
#include "flash/le.h"
#include "rom/image.h"
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
}  // namespace

uint32_t word_sum(const uint8_t* region, uint32_t length) { return le32_sum(region, length); }

int has_bbm_marker(const uint8_t* region, uint32_t length) {
  for (uint32_t i = 0; i + 5 <= length; ++i) {
    if (memcmp(region + i, "$BBM", 4) == 0) return 1;
  }
  return 0;
}

int check_rom_size() {
  if (file_size(rom_file) == static_cast<int64_t>(rom_size)) {
    size_ok = 1;
    return 0;
  }
  size_ok = 0;
  return EXIT_ROM_SIZE;
}

int match_rom_id() {
  char id[ROM_ID_LENGTH + 1];
  if (!read_rom_id_at(rom_file, static_cast<int64_t>(rom_size) - 32, id)) {
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

int check_boot_block() {
  uint32_t n = block_count();
  uint32_t b = boot_block_count();
  if (b == 0) return 0;
  uint32_t start = block_address(n - b);
  uint64_t total = 0;
  for (uint32_t i = n - b; i < n; ++i) total += block_size(i);
  // A region that has no place in the ROM cannot be read from its file; it is refused before
  // a buffer of its size is asked for.
  if (start < RomBase || start - RomBase + total > rom_size) {
    if (!options.compare) report_error("Unable to read from disk\n");
    return EXIT_FILE_READ;
  }
  uint32_t length = static_cast<uint32_t>(total);

  image_slot = alloc_buffer(length);
  if (image_slot == nullptr) {
    report_error("Out of memory\n");
    return EXIT_NO_MEMORY;
  }
  int64_t offset = static_cast<int64_t>(start) - RomBase;
  for (uint32_t p = 0; p < length; p += 4096) {
    uint32_t piece = length - p < 4096 ? length - p : 4096;
    if (file_read_at(rom_file, offset + p, piece, image_slot + p) != piece) {
      if (!options.compare) report_error("Unable to read from disk\n");
      return EXIT_FILE_READ;
    }
  }
  uint32_t sum = word_sum(image_slot, length);
  if (has_bbm_marker(image_slot, length) && !(options.prog_bootblock && options.prog_nvram)) {
    report_error("Cannot program this BIOS without Boot Block and NVRAM\n");
    return EXIT_NEED_BOOT_NVRAM;
  }
  free_image();
  return sum != 0 ? EXIT_BOOT_BLOCK : 0;
}

int validate_rom_file() {
  if (!open_rom_file()) {
    report_error("Unable to open ROM file.");
    return EXIT_NO_INPUT;
  }
  int r = check_rom_size();
  if (r != 0 && !options.compare) {
    report_error("ROM file size does not match existing BIOS size.");
    return r;
  }
  if (options.check_rom_id) {
    r = match_rom_id();
    if (r != 0 && !options.compare) {
      report_error("ROM file ROMID is not compatible with existing BIOS ROMID.");
      return r;
    }
    rom_id_ok = r == 0;
  }
  r = check_boot_block();
  if (r != 0 && !options.compare) {
    report_error("Rom file boot block is not valid.");
    return r;
  }
  bootblock_ok = r == 0;
  close_rom_file();
  return 0;
}

int show_file_rom_id(const char* path) {
  FILE* file = fopen(path, "rb");
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
  }
  if (!size_ok) fail_exit(EXIT_CMP_SIZE);
  if (!rom_id_ok) fail_exit(EXIT_CMP_ROM_ID);
  if (!bootblock_ok) fail_exit(EXIT_CMP_BOOT_BLOCK);
}
