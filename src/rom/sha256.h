// SHA-256, for knowing a backup and an image by their content rather than by a file name.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SHA256_HEX_SIZE = 65;  // 64 lowercase hex digits and a NUL

struct Sha256 {
  uint32_t state[8];
  uint64_t length;  // bytes hashed so far
  uint8_t block[64];
  uint32_t fill;  // bytes waiting in block
};

void sha256_init(Sha256* h);
void sha256_update(Sha256* h, const void* data, size_t length);
// Ends the hash and writes it as lowercase hex; h must be initialised again before reuse.
void sha256_hex(Sha256* h, char out[SHA256_HEX_SIZE]);
// The hash of a whole buffer.
void sha256_of(const void* data, size_t length, char out[SHA256_HEX_SIZE]);
