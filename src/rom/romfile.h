// The input ROM file and the small file operations the ROM work is built on.
#pragma once

#include <cstdint>
#include <cstdio>

extern FILE* rom_file;

// Opens in_name once for the whole run, without waiting on a FIFO or device, and keeps it only
// when it is a regular file; what it was at that moment is remembered for rom_file_changed.
int open_rom_file();
int close_rom_file();
// 1 when the open ROM file's size or modification time is no longer what it was when it was
// opened: it was written or truncated since.
int rom_file_changed();
extern const char ROM_FILE_CHANGED[];
// Opens path for reading without blocking; a stream only for a regular file, else null.
FILE* open_regular_file(const char* path);
int64_t file_size(FILE* file);
// Seek (result not tested, as a negative offset then reads at the current position) and
// read or write length / 4 words; returns the bytes moved.
uint32_t file_read_at(FILE* file, int64_t offset, uint32_t length, void* buffer);
uint32_t file_write_at(FILE* file, int64_t offset, uint32_t length, const void* buffer);
// The same read where the stream already stands, after a whole read that ended there.
uint32_t file_read_next(FILE* file, uint32_t length, void* buffer);
