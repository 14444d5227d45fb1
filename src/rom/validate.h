// Checks of a ROM file against the running BIOS, the file ROM ID display and the compare report.
#pragma once

#include <cstdint>

extern int size_ok;
extern int rom_id_ok;
extern int bootblock_ok;

// Checks the open ROM file (opening it when no file is open yet); the file stays open for the load.
int validate_rom_file();
int check_rom_size();
int match_rom_id();
int check_boot_block();
// After the load: the ROM ID and boot-block checks again, on the image that will be programmed.
// 48 when the file changed since it was opened (its size or times moved, or a check it passed
// fails on the image); in compare mode a check that fails on the image fails in the report.
int recheck_loaded_image();
int show_file_rom_id(const char* path);
void compare_report();

// The 32-bit wrap-around sum of the region's little-endian words.
uint32_t word_sum(const uint8_t* region, uint32_t length);
// 1 when "$BBM" starts anywhere from the region's first to its fifth-last byte.
int has_bbm_marker(const uint8_t* region, uint32_t length);
