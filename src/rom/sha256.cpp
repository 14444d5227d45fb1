// Plain code rather than a library: the tool links nothing beyond the C and C++ libraries, and
// the hash is small, fixed and checked against the published test vectors.
#include "rom/sha256.h"

#include <cstdio>
#include <cstring>

namespace {

const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(uint32_t state[8], const uint8_t* p) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
  }
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
    uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

}  // namespace

void sha256_init(Sha256* h) {
  static const uint32_t IV[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(h->state, IV, sizeof IV);
  h->length = 0;
  h->fill = 0;
}

void sha256_update(Sha256* h, const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  h->length += length;
  if (h->fill > 0) {
    size_t take = length < 64 - h->fill ? length : 64 - h->fill;
    memcpy(h->block + h->fill, p, take);
    h->fill += static_cast<uint32_t>(take);
    p += take;
    length -= take;
    if (h->fill < 64) return;
    compress(h->state, h->block);
    h->fill = 0;
  }
  for (; length >= 64; p += 64, length -= 64) compress(h->state, p);
  memcpy(h->block, p, length);
  h->fill = static_cast<uint32_t>(length);
}

void sha256_hex(Sha256* h, char out[SHA256_HEX_SIZE]) {
  uint64_t bits = h->length * 8;
  uint8_t pad[72] = {0x80};
  size_t zeros = (h->fill < 56 ? 56 : 120) - h->fill;
  for (int i = 0; i < 8; ++i) pad[zeros + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  sha256_update(h, pad, zeros + 8);
  for (int i = 0; i < 8; ++i) snprintf(out + 8 * i, 9, "%08x", h->state[i]);
}

void sha256_of(const void* data, size_t length, char out[SHA256_HEX_SIZE]) {
  Sha256 h;
  sha256_init(&h);
  sha256_update(&h, data, length);
  sha256_hex(&h, out);
}
