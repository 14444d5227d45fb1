// Little-endian fields read and written in place, at any alignment.
#pragma once

#include <bit>
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
// Every 1 KB piece and the boot-block region go through here, so on a little-endian host it
// adds four 16-byte vectors at a time (addition wraps, so the order of the words is free);
// the scalar loop takes what is left.
inline uint32_t le32_sum(const uint8_t* p, uint32_t length) {
  uint32_t sum = 0;
  uint32_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    using Words = uint32_t __attribute__((vector_size(16)));
    Words a = {}, b = {}, c = {}, d = {};
    for (; i + 64 <= length; i += 64) {
      Words w, x, y, z;  // written out: the compiler does not unroll a loop of four here
      memcpy(&w, p + i, 16);
      memcpy(&x, p + i + 16, 16);
      memcpy(&y, p + i + 32, 16);
      memcpy(&z, p + i + 48, 16);
      a += w;
      b += x;
      c += y;
      d += z;
    }
    Words t = (a + b) + (c + d);
    sum = t[0] + t[1] + t[2] + t[3];
  }
  for (; i + 4 <= length; i += 4) sum += le32(p + i);
  return sum;
}
