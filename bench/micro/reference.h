// The plain offset-by-offset loops that the tool's vector passes must agree with, checked on
// generated chunks before each benchmark runs, so that a fast but wrong pass shows as an error.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "flash/le.h"

inline void plain_patch(uint8_t* chunk, uint32_t len, int8_t value) {
  for (uint32_t q = 10; q + 22 <= len; q += 8) {
    if (memcmp(chunk + q, "ZORBIOSC", 8) != 0) continue;
    uint8_t old = chunk[q - 3];
    chunk[q - 3] = static_cast<uint8_t>(value);
    uint32_t d = static_cast<uint8_t>(static_cast<uint8_t>(value) - old);
    put_le32(chunk + q + 14, le32(chunk + q + 14) - (d << 24));
    return;
  }
}

inline int plain_find_nc(const uint8_t* chunk, uint32_t len) {
  for (uint32_t q = 0; q + 16 <= len; q += 16) {
    if (memcmp(chunk + q, "ZORNCBLK", 8) == 0) return static_cast<int>(q);
  }
  return -1;
}

inline uint32_t plain_sum(const uint8_t* p, uint32_t len) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i + 4 <= len; i += 4) sum += le32(p + i);
  return sum;
}

// A chunk of len bytes (plus 4 spare) at a random alignment, of noise dense in the records'
// letters, with whole or partial records at random offsets, aligned or not.
struct Sample {
  std::vector<uint8_t> store;
  uint8_t* bytes;
  uint32_t len;
};

inline Sample sample(std::mt19937& rng) {
  static const char* const parts[] = {"ZORBIOSC", "ZORNCBLK", "ZORB", "ZORN", "ZORBIOS"};
  Sample s;
  s.len = rng() % 3 == 0 ? 4096 : rng() % 4200;
  s.store.assign(s.len + 4 + 64, 0);
  s.bytes = s.store.data() + rng() % 64;
  for (uint32_t i = 0; i < s.len + 4; ++i) {
    s.bytes[i] = rng() % 4 == 0 ? static_cast<uint8_t>("ZORBIOSCNK"[rng() % 10])
                                : static_cast<uint8_t>(rng());
  }
  if (s.len < 32) return s;
  for (int k = rng() % 4; k > 0; --k) {
    const char* t = parts[rng() % 5];
    memcpy(s.bytes + rng() % (s.len - 8), t, strlen(t));
  }
  if (rng() % 2) memcpy(s.bytes + (rng() % ((s.len - 16) / 8)) * 8 + 2, "ZORBIOSC", 8);
  if (rng() % 2) memcpy(s.bytes + (rng() % ((s.len - 16) / 16)) * 16, "ZORNCBLK", 8);
  return s;
}
