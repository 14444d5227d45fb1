#include "flash/layout.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash/commands.h"
#include "flash/le.h"
#include "platform/physmem.h"
#include "run/errors.h"
#include "run/exit_codes.h"

uint8_t* flash_header;
uint32_t rom_size;
uint32_t RomBase;
const uint8_t* block_table;
const uint8_t* nvram_list;
char RomId[ROM_ID_LENGTH + 1];

namespace {

const char SIGNATURE[] = "$QZX";
const char OUT_OF_RANGE[] = "BIOS flash information is out of range";

// A table of count entries of entry bytes after a head of head bytes, at offset, inside len.
bool table_fits(uint32_t offset, uint32_t head, uint32_t count, uint32_t entry, uint32_t len) {
  uint64_t end = static_cast<uint64_t>(offset) + head + static_cast<uint64_t>(count) * entry;
  return end <= len;
}

int read_rom_id() {
  uint8_t* buffer = static_cast<uint8_t*>(calloc(TRANSFER_SIZE / 4 + 1, 4));
  if (buffer == nullptr) return EXIT_NO_MEMORY;
  uint32_t address = rom_size + RomBase - TRANSFER_SIZE;
  if (!flash_read_block(address, TRANSFER_SIZE, buffer, nullptr)) {
    free(buffer);
    return EXIT_BLOCK_READ;
  }
  memcpy(RomId, buffer + TRANSFER_SIZE - 32, ROM_ID_LENGTH);
  RomId[ROM_ID_LENGTH] = '\0';
  free(buffer);
  return 0;
}

}  // namespace

int find_flash_header(const uint8_t* window, uint32_t len) {
  for (uint32_t i = 0; i <= SIGNATURE_LAST_POSITION && i + 4 <= len; ++i) {
    if (memcmp(window + i, SIGNATURE, 4) == 0) return static_cast<int>(i);
  }
  return -1;
}

int header_in_window(const uint8_t* window, uint32_t len, uint32_t pos) {
  if (!table_fits(pos, HEADER_SIZE, 0, 0, len)) return 0;
  uint32_t param = pos + window[pos + HEADER_PARAM_OFFSET];
  return table_fits(param, PARAM_BLOCK_SIZE, 0, 0, len) ? 1 : 0;
}

int read_flash_info(const uint8_t* info, uint32_t len, uint16_t pointer_offset) {
  if (!table_fits(pointer_offset, 4, 0, 0, len)) return 0;
  uint32_t record_offset = le32(info + pointer_offset);
  if (!table_fits(record_offset, INFO_RECORD_SIZE, 0, 0, len)) return 0;
  const uint8_t* record = info + record_offset;
  uint32_t table_offset = le16(record + INFO_BLOCK_TABLE);
  uint32_t nvram_offset = le16(record + INFO_NVRAM_LIST);
  if (!table_fits(table_offset, 4, 0, 0, len) || !table_fits(nvram_offset, 2, 0, 0, len)) return 0;
  uint32_t n = le16(info + table_offset);
  uint32_t b = le16(info + table_offset + 2);
  uint32_t m = le16(info + nvram_offset);
  if (b > n || !table_fits(table_offset, 4, n, 8, len) || !table_fits(nvram_offset, 2, m, 8, len))
    return 0;

  rom_size = static_cast<uint32_t>(le16(record + INFO_ROM_KB)) * 1024;
  RomBase = rom_size <= 0x100000 ? 0x100000 - rom_size : 0;
  block_table = info + table_offset;
  nvram_list = info + nvram_offset;
  return 1;
}

int locate_flash_interface() {
  bios_window = map_phys(BIOS_SEGMENT, WINDOW_LENGTH);
  if (bios_window == nullptr) {
    fputs(" error mapping physical memory!\n", stdout);
    fflush(stdout);
    return EXIT_BIOS_MAP;
  }

  int pos = find_flash_header(bios_window, WINDOW_LENGTH);
  if (pos < 0) {
    report_error("QZX Signature not found");
    return EXIT_NO_SIGNATURE;
  }
  if (!header_in_window(bios_window, WINDOW_LENGTH, static_cast<uint32_t>(pos))) {
    report_error(OUT_OF_RANGE);
    return EXIT_NO_SIGNATURE;
  }
  flash_header = bios_window + pos;
  param_block = flash_header + flash_header[HEADER_PARAM_OFFSET];
  smi_port = le16(flash_header + HEADER_SMI_PORT);

  int result = flash_open();
  if (result != 0) return result;

  uint16_t paragraph = le16(flash_header + HEADER_INFO_PARAGRAPH);
  info_window = map_phys(static_cast<uint32_t>(paragraph) * 16, WINDOW_LENGTH);
  if (info_window == nullptr) {
    printf(" error mapping physical memory, %X!\n", paragraph);
    fflush(stdout);
    return EXIT_INFO_MAP;
  }

  if (!read_flash_info(info_window, WINDOW_LENGTH, le16(flash_header + HEADER_INFO_POINTER))) {
    report_error(OUT_OF_RANGE);
    return EXIT_NO_SIGNATURE;
  }
  return read_rom_id();
}

uint16_t block_count() { return le16(block_table); }
uint16_t boot_block_count() { return le16(block_table + 2); }
uint32_t block_address(uint32_t index) { return le32(block_table + 4 + index * 8); }
uint32_t block_size(uint32_t index) { return le32(block_table + 8 + index * 8); }
uint16_t nvram_count() { return le16(nvram_list); }

int is_boot_block(uint32_t address) {
  uint32_t n = block_count();
  for (uint32_t i = n - boot_block_count(); i < n; ++i) {
    if (block_address(i) == address) return 1;
  }
  return 0;
}

int is_nvram_block(uint32_t address) {
  for (uint32_t i = 0; i < nvram_count(); ++i) {
    if (le32(nvram_list + 2 + i * 8) == address) return 1;
  }
  return 0;
}
