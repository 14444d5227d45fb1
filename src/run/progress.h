// The console progress line: a fixed label, the current address and a percentage, then "done".
#pragma once

#include <cstdint>

using ProgressFn = void (*)(uint32_t position, uint32_t total);

constexpr uint32_t PROGRESS_START = 0xFFFFFFFEu;  // total then carries the start position
constexpr uint32_t PROGRESS_DONE = 0xFFFFFFFFu;

void show_progress(uint32_t position, uint32_t total, const char* label);

void progress_read_file(uint32_t position, uint32_t total);
void progress_read_flash(uint32_t position, uint32_t total);
void progress_write_flash(uint32_t position, uint32_t total);
void progress_erase_flash(uint32_t position, uint32_t total);
void progress_verify_flash(uint32_t position, uint32_t total);
void progress_erase_bootblock(uint32_t position, uint32_t total);
void progress_write_bootblock(uint32_t position, uint32_t total);
void progress_verify_bootblock(uint32_t position, uint32_t total);
// The reads of /e that find the blocks already holding the file's bytes.
void progress_compare_flash(uint32_t position, uint32_t total);
void progress_compare_bootblock(uint32_t position, uint32_t total);
