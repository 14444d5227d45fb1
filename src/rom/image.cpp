#include "rom/image.h"

#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

#include "flash/layout.h"
#include "flash/le.h"
#include "rom/romfile.h"
#include "rom/validate.h"
#include "run/errors.h"
#include "run/exit_codes.h"
#include "run/options.h"
#include "run/progress.h"

NcBlockList nc_blocks;
uint8_t* image_slot;
uint8_t* checked_region;
uint32_t checked_length;
int64_t rom_file_size;

namespace {

// The load fills the image 4 KB at a time, and each fresh page of it costs a fault; in 2 MB
// pages a 64 MB image takes 32 faults instead of 16384. Only a hint: without it, or where the
// kernel declines it, the image is the same.
void ask_for_huge_pages(uint8_t* buffer, uint32_t size) {
  constexpr uintptr_t HUGE = 2u << 20;
  uintptr_t start = (reinterpret_cast<uintptr_t>(buffer) + HUGE - 1) & ~(HUGE - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + size) & ~(HUGE - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace

uint8_t* alloc_buffer(uint32_t size) {
  return static_cast<uint8_t*>(calloc(static_cast<size_t>(size / 4) + 1, 4));
}

void alloc_image() {
  free(image_slot);  // a boot-block buffer may still be here after a failed check in compare mode
  image_slot = alloc_buffer(rom_size);
  if (image_slot == nullptr) fatal(EXIT_NO_MEMORY, "Out of memory\n");
  ask_for_huge_pages(image_slot, rom_size);
}

void free_image() {
  free(image_slot);
  image_slot = nullptr;
  free(checked_region);
  checked_region = nullptr;
}

namespace {
uint64_t word64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

// Whether one of the four places p, p + stride, p + 2 * stride, p + 3 * stride holds the
// eight letters of name. The searches below pass over whole steps of places with this, and
// try places one by one only from the step that holds one.
bool name_in_four(const uint8_t* p, uint32_t stride, uint64_t name) {
  return word64(p) == name || word64(p + stride) == name || word64(p + 2 * stride) == name ||
         word64(p + 3 * stride) == name;
}
}  // namespace

// A SignatureRecord starts 2 bytes past a multiple of 8 and needs its signature byte 3 bytes
// before it and its balancing word 14 bytes after its start inside the same chunk.
void patch_signature(uint8_t* chunk, uint32_t len, int8_t value) {
  uint64_t name;
  memcpy(&name, "ZORBIOSC", 8);
  uint32_t q = 10;
  for (; q + 56 + 22 <= len; q += 64) {
    if (name_in_four(chunk + q, 8, name) || name_in_four(chunk + q + 32, 8, name)) break;
  }
  for (; q + 22 <= len; q += 8) {
    if (word64(chunk + q) != name) continue;
    uint8_t old = chunk[q - 3];
    chunk[q - 3] = static_cast<uint8_t>(value);
    uint32_t d = static_cast<uint8_t>(static_cast<uint8_t>(value) - old);
    // The balancing word's top byte drops by what the signature byte rose, so the image's
    // word sum and byte sum stay as they were.
    put_le32(chunk + q + 14, le32(chunk + q + 14) - (d << 24));
    return;
  }
}

// An NcBlockHeader starts at a multiple of 16 and is 16 bytes long.
int find_nc_header(const uint8_t* chunk, uint32_t len) {
  uint64_t name;
  memcpy(&name, "ZORNCBLK", 8);
  const uint8_t* p = chunk;
  const uint8_t* end = chunk + len;
  for (; end - p >= 128; p += 128) {
    if (name_in_four(p, 16, name) || name_in_four(p + 64, 16, name)) break;
  }
  for (; end - p >= 16; p += 16) {
    if (word64(p) == name) return static_cast<int>(p - chunk);
  }
  return -1;
}

void scan_nc_blocks(const uint8_t* chunk, uint32_t len, uint32_t offset) {
  int q = find_nc_header(chunk, len);
  if (q < 0) return;
  if (nc_blocks.nc_count >= NC_MAX) {
    fatal(EXIT_TOO_MANY_NC,
          "Error! This BIOS version has more Not-Critical blocks then normally supported");
  }
  nc_blocks.nc_start[nc_blocks.nc_count] = offset + static_cast<uint32_t>(q);
  nc_blocks.nc_size[nc_blocks.nc_count] = le32(chunk + q + 12);
  nc_blocks.nc_count++;
}

namespace {
// In compare mode a short read does not end the run, and the chunk goes on at its full length:
// the bytes the file gave over those of the chunk before it (zeros for the first), which are
// what a single chunk buffer would still hold there.
void fill_short_chunk(uint32_t offset, uint32_t len) {
  uint8_t* chunk = image_slot + offset;
  if (offset == 0) {
    memset(chunk, 0, len);
  } else {
    memcpy(chunk, chunk - CHUNK_SIZE, len);
  }
  file_read_at(rom_file, offset, len, chunk);
}
}  // namespace

// Each chunk is read straight to its place in the image and patched and scanned there.
void load_rom_image() {
  progress_read_file(PROGRESS_START, 0);
  uint32_t len = CHUNK_SIZE;
  // After a whole chunk the stream stands at the next one: no need to ask where it is.
  bool in_place = false;
  for (uint32_t offset = 0; offset < rom_size; offset += len) {
    progress_read_file(offset, rom_size);
    if (offset + len > rom_size) len = rom_size - offset;
    uint8_t* chunk = image_slot + offset;
    uint32_t got = in_place ? file_read_next(rom_file, len, chunk)
                            : file_read_at(rom_file, offset, len, chunk);
    in_place = got == len;
    if (!in_place) {
      if (!options.compare && rom_file_changed()) {
        fatal(EXIT_NO_INPUT, "%s", ROM_FILE_CHANGED);
      }
      if (!options.compare) fatal(EXIT_FILE_READ, "Unable to read from disk\n");
      size_ok = 0;
      fill_short_chunk(offset, len);
    }
    if (options.signature_value != 0) patch_signature(chunk, len, options.signature_value);
    scan_nc_blocks(chunk, len, offset);
  }
  progress_read_file(PROGRESS_DONE, static_cast<uint32_t>(rom_file_size));
}
