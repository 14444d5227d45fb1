// The BIOS's description of its flash, found in BIOS memory and read in place.
#pragma once

#include <cstdint>

// FlashEntryHeader field offsets.
constexpr int HEADER_PARAM_OFFSET = 4;
constexpr int HEADER_INFO_POINTER = 8;
constexpr int HEADER_INFO_PARAGRAPH = 10;
constexpr int HEADER_SMI_PORT = 12;
constexpr uint32_t HEADER_SIZE = 14;
constexpr uint32_t SIGNATURE_LAST_POSITION = 0xFFFA;

// FlashInfoRecord field offsets.
constexpr int INFO_ROM_KB = 6;
constexpr int INFO_BLOCK_TABLE = 10;
constexpr int INFO_NVRAM_LIST = 12;
constexpr uint32_t INFO_RECORD_SIZE = 14;

constexpr int ROM_ID_LENGTH = 8;

extern uint8_t* flash_header;
extern uint32_t rom_size;
extern uint32_t RomBase;
extern const uint8_t* block_table;
extern const uint8_t* nvram_list;
extern char RomId[ROM_ID_LENGTH + 1];

// Position of the first "$QZX" in a window of len bytes, or -1.
int find_flash_header(const uint8_t* window, uint32_t len);
// 1 when the header at pos and the parameter block it points to lie inside the window.
int header_in_window(const uint8_t* window, uint32_t len, uint32_t pos);
// Takes ROM size, RomBase and the two tables from the flash-info window; 1 when every field
// and entry lies inside it (and the boot-block count fits the table), else 0.
int read_flash_info(const uint8_t* info, uint32_t len, uint16_t pointer_offset);

// 0, or the exit code of the failure (38, 2, 17, 64, 36, 40, 34, 66).
int locate_flash_interface();

uint16_t block_count();
uint16_t boot_block_count();
uint32_t block_address(uint32_t index);
uint32_t block_size(uint32_t index);
uint16_t nvram_count();
int is_boot_block(uint32_t address);
int is_nvram_block(uint32_t address);
