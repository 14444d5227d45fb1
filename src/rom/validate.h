// Checks of a ROM file against the running BIOS, the file ROM ID display and the compare report.
#pragma once

#include <cstdint>

extern int size_ok;
extern int rom_id_ok;
extern int bootblock_ok;

int validate_rom_file();
int check_rom_size();
int match_rom_id();
int check_boot_block();
int show_file_rom_id(const char* path);
void compare_report();

// The 32-bit wrap-around sum of the region's little-endian words.
uint32_t word_sum(const uint8_t* region, uint32_t length);
// 1 when "$BBM" starts anywhere from the region's first to its fifth-last byte.
int has_bbm_marker(const uint8_t* region, uint32_t length);
