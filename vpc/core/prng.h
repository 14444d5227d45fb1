// Small deterministic generator for ROM contents and memory filler.
#pragma once
#include <cstdint>

struct Prng {
    uint64_t state;
};

inline uint64_t prng_next(Prng* p)
{
    uint64_t z = (p->state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

inline Prng prng_seed(uint64_t seed, uint64_t stream)
{
    Prng p{seed * 0x100000001B3ull ^ stream};
    prng_next(&p);
    return p;
}
