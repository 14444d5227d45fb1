// Block selection and the erase, write and verify passes over the BIOS block table.
#pragma once

#include <cstdint>

#include "run/progress.h"

enum PassKind { MainPass = 1, BootBlockPass = 2 };

void program_flash();
int in_selected_nc_block(uint32_t offset);
int in_any_nc_block(uint32_t offset);
int block_selected(uint32_t address, PassKind kind);
// 1 when every block this run will program is whole kilobytes and lies inside the image;
// otherwise the address of the first one that is not goes to *bad.
int check_selected_blocks(uint32_t* bad);
void erase_pass(ProgressFn progress, PassKind kind);
void write_pass(ProgressFn progress, PassKind kind);
void verify_pass(ProgressFn progress, PassKind kind);
// With /e: how many selected blocks were compared with the image, and how many of them differ.
uint32_t compared_block_count();
uint32_t differing_blocks();
