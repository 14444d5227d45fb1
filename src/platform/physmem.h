// Windows onto physical memory through /dev/mem.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr uint32_t BIOS_SEGMENT = 0xF0000;
constexpr uint32_t WINDOW_LENGTH = 0xFFFF;

extern FILE* mem_stream;
extern uint8_t* bios_window;
extern uint8_t* info_window;

int open_phys_memory();
// Maps the enclosing pages of [phys, phys + len) and returns the address of phys, or null.
uint8_t* map_phys(uint32_t phys, uint32_t len);
int unmap_phys(uint8_t* addr, uint32_t len);
// 0, or 39 / 41 when a window would not unmap (both slots are then kept).
int unmap_windows();
int close_phys_memory();
