// The input ROM file and the small file operations the ROM work is built on.
#pragma once

#include <cstdint>
#include <cstdio>

extern FILE* rom_file;

int open_rom_file();
int close_rom_file();
int64_t file_size(FILE* file);
// Seek (result not tested, as a negative offset then reads at the current position) and
// read or write length / 4 words; returns the bytes moved.
uint32_t file_read_at(FILE* file, int64_t offset, uint32_t length, void* buffer);
uint32_t file_write_at(FILE* file, int64_t offset, uint32_t length, const void* buffer);
