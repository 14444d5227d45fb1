// Little-endian fields read and written in place, at any alignment.
#pragma once

#include <cstdint>
#include <cstring>

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The 32-bit wrap-around sum of the little-endian words in the first length / 4 * 4 bytes.
// Every 1 KB piece and the boot-block region go through here. Addition wraps, so the words can
// be summed in any order: sixteen running sums, one per word of a 64-byte step, are adds that
// do not wait on each other, and the compiler packs each group of four into one vector add.
inline uint32_t le32_sum(const uint8_t* p, uint32_t length) {
  uint32_t a[4] = {}, b[4] = {}, c[4] = {}, d[4] = {};
  uint32_t i = 0;
  for (; i + 64 <= length; i += 64) {
    for (uint32_t k = 0; k < 4; ++k) {
      a[k] += le32(p + i + 4 * k);
      b[k] += le32(p + i + 16 + 4 * k);
      c[k] += le32(p + i + 32 + 4 * k);
      d[k] += le32(p + i + 48 + 4 * k);
    }
  }
  uint32_t sum = 0;
  for (uint32_t k = 0; k < 4; ++k) sum += (a[k] + b[k]) + (c[k] + d[k]);
  for (; i + 4 <= length; i += 4) sum += le32(p + i);
  return sum;
}
