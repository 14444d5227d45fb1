// The in-memory copy of the ROM file and the non-critical block list.
#pragma once

#include <cstdint>

constexpr uint32_t CHUNK_SIZE = 4096;
constexpr int NC_MAX = 8;

struct NcBlockList {
  uint8_t nc_count;
  uint32_t nc_start[NC_MAX];  // file offsets
  uint32_t nc_size[NC_MAX];   // byte lengths
};

extern NcBlockList nc_blocks;
// The image slot: the RomImage, or earlier a short-lived buffer (save block, boot-block region).
extern uint8_t* image_slot;
extern int64_t rom_file_size;  // measured when the file is reopened for loading
// The boot-block region as the file check judged it, kept from that check to the recheck of
// the loaded image.
extern uint8_t* checked_region;
extern uint32_t checked_length;

// Zero-filled, with room for size / 4 + 1 words (4 bytes beyond a multiple of 4).
uint8_t* alloc_buffer(uint32_t size);

void alloc_image();
// Releases the image slot and the checked region.
void free_image();
void load_rom_image();

// Work on the chunk of length len just read into the image at file offset offset.
void patch_signature(uint8_t* chunk, uint32_t len, int8_t value);
// Returns the position of the first header in the chunk, or -1.
int find_nc_header(const uint8_t* chunk, uint32_t len);
void scan_nc_blocks(const uint8_t* chunk, uint32_t len, uint32_t offset);
