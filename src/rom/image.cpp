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
uint8_t* scratch_buffer;
uint32_t scratch_size;
int64_t rom_file_size;

namespace {
uint32_t image_fill;  // bytes appended to the image so far

// Both searches look at every 8th or 16th offset of every 4 KB chunk of the file, and a record
// can start at one only if the 32-bit word there holds the record's first four bytes. So they
// first pass over whole blocks in which no word at a multiple of 4 from the block's start does,
// which is nearly every block, comparing a vector of words at a time; only a block that holds
// one is searched offset by offset.
using Words16 = uint32_t __attribute__((vector_size(16)));
using Words32 = uint32_t __attribute__((vector_size(32)));

template <class Words>
inline bool any_lane(const Words& v) {
  uint64_t part[sizeof(Words) / 8];
  memcpy(part, &v, sizeof(Words));
  uint64_t any = 0;
  for (uint64_t p : part) any |= p;
  return any != 0;
}

// The first q + k * sizeof(Words) from which the next sizeof(Words) bytes hold word, or from
// which fewer remain before len. Eight vectors are taken per step while they fit.
template <class Words>
inline uint32_t skip_blocks(const uint8_t* chunk, uint32_t q, uint32_t len, uint32_t word) {
  constexpr uint32_t BYTES = sizeof(Words);
  Words w;
  for (; q + 8 * BYTES <= len; q += 8 * BYTES) {
    Words hit = {};
#pragma GCC unroll 8
    for (uint32_t i = 0; i < 8 * BYTES; i += BYTES) {
      memcpy(&w, chunk + q + i, BYTES);
      hit |= reinterpret_cast<Words>(w == word);
    }
    if (any_lane(hit)) break;
  }
  for (; q + BYTES <= len; q += BYTES) {
    memcpy(&w, chunk + q, BYTES);
    if (any_lane(reinterpret_cast<Words>(w == word))) break;
  }
  return q;
}

// Twice as wide where the processor has AVX2, as glibc's memcpy then is.
__attribute__((target("avx2"))) uint32_t skip_blocks_avx2(const uint8_t* chunk, uint32_t q,
                                                          uint32_t len, uint32_t word) {
  return skip_blocks<Words32>(chunk, q, len, word);
}

uint32_t skip_clean_blocks(const uint8_t* chunk, uint32_t q, uint32_t len, const char* text) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  uint32_t word;
  memcpy(&word, text, 4);
  return avx2 ? skip_blocks_avx2(chunk, q, len, word) : skip_blocks<Words16>(chunk, q, len, word);
}

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
  free_image();  // a boot-block buffer may still be here after a failed check in compare mode
  image_slot = alloc_buffer(rom_size);
  if (image_slot == nullptr) fatal(EXIT_NO_MEMORY, "Out of memory\n");
  image_fill = 0;
  ask_for_huge_pages(image_slot, rom_size);
}

void free_image() {
  free(image_slot);
  image_slot = nullptr;
}

void alloc_scratch() {
  // Only a block that fits the image is ever copied here (check_selected_blocks refuses the
  // rest), so an entry larger than the ROM must not make the run ask for gigabytes.
  uint32_t size = CHUNK_SIZE;
  for (uint32_t i = 0; i < block_count(); ++i) {
    if (block_size(i) > size && block_size(i) <= rom_size) size = block_size(i);
  }
  scratch_buffer = alloc_buffer(size);
  if (scratch_buffer == nullptr) fatal(EXIT_NO_MEMORY, "Out of memory\n");
  scratch_size = size;
}

void free_scratch() {
  free(scratch_buffer);
  scratch_buffer = nullptr;
  scratch_size = 0;
}

void patch_signature(uint8_t* chunk, uint32_t len, int8_t value) {
  for (uint32_t q = 10; q + 22 <= len; q += 8) {
    if ((q - 10) % 32 == 0) {
      q = skip_clean_blocks(chunk, q, len, "ZORB");
      if (q + 22 > len) break;
    }
    if (memcmp(chunk + q, "ZORBIOSC", 8) != 0) continue;
    uint8_t old = chunk[q - 3];
    chunk[q - 3] = static_cast<uint8_t>(value);
    uint32_t d = static_cast<uint8_t>(static_cast<uint8_t>(value) - old);
    // The balancing word's top byte drops by what the signature byte rose, so the image's
    // word sum and byte sum stay as they were.
    put_le32(chunk + q + 14, le32(chunk + q + 14) - (d << 24));
    return;
  }
}

int find_nc_header(const uint8_t* chunk, uint32_t len) {
  for (uint32_t q = 0; q + 16 <= len; q += 16) {
    if (q % 32 == 0) {
      q = skip_clean_blocks(chunk, q, len, "ZORN");
      if (q + 16 > len) break;
    }
    if (memcmp(chunk + q, "ZORNCBLK", 8) == 0) return static_cast<int>(q);
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

void load_rom_image() {
  progress_read_file(PROGRESS_START, 0);
  uint32_t len = CHUNK_SIZE;
  for (uint32_t offset = 0; offset < rom_size; offset += len) {
    progress_read_file(offset, rom_size);
    if (offset + len > rom_size) len = rom_size - offset;
    if (file_read_at(rom_file, offset, len, scratch_buffer) != len) {
      // In compare mode the chunk goes on at full length with whatever the buffer held.
      if (!options.compare && rom_file_changed()) {
        fatal(EXIT_NO_INPUT, "%s", ROM_FILE_CHANGED);
      }
      if (!options.compare) fatal(EXIT_FILE_READ, "Unable to read from disk\n");
      size_ok = 0;
    }
    if (options.signature_value != 0) patch_signature(scratch_buffer, len, options.signature_value);
    scan_nc_blocks(scratch_buffer, len, offset);
    memcpy(image_slot + image_fill, scratch_buffer, len);
    image_fill += len;
  }
  progress_read_file(PROGRESS_DONE, static_cast<uint32_t>(rom_file_size));
}
