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
inline uint32_t le32_sum(const uint8_t* p, uint32_t length) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i + 4 <= length; i += 4) sum += le32(p + i);
  return sum;
}
