// Reading a fuzz input front to back: little-endian numbers, and byte runs copied into a
// memory window of its exact size, so that a read past the window is caught.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct Input {
  const uint8_t* p;
  size_t left;
};

// The next 16 bits, or 0 once the input is used up.
inline uint32_t take16(Input& in) {
  if (in.left < 2) return 0;
  uint32_t v = in.p[0] | in.p[1] << 8;
  in.p += 2;
  in.left -= 2;
  return v;
}

inline uint32_t take32(Input& in) {
  uint32_t low = take16(in);
  return low | (take16(in) << 16);
}

// Clears the window of length bytes, then copies the next count bytes of the input to place;
// what falls outside the window is skipped.
inline void fill(uint8_t* window, size_t length, Input& in, uint32_t place, size_t count) {
  memset(window, 0, length);
  if (count > in.left) count = in.left;
  if (place < length) memcpy(window + place, in.p, count < length - place ? count : length - place);
  in.p += count;
  in.left -= count;
}
