// Writes ROM images for a machine: plausible seeded contents, the ROM ID at
// size - 32, optional NcBlockHeaders, SignatureRecords and "$BBM" marker,
// and a boot-block region whose 32-bit words sum to zero.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "machine.h"

struct NcPlan {
    uint32_t offset;  // multiple of 16
    uint32_t length;
};

struct SigPlan {
    uint32_t offset;  // offset mod 8 == 2
    uint8_t byte;     // signature byte at offset - 3
};

struct RomPlan {
    uint32_t size;     // file size; another size than the machine's cuts or extends its image
    char id[9];        // 8 bytes at size - 32
    uint64_t seed;
    bool bbm;
    std::vector<NcPlan> nc;
    std::vector<SigPlan> sig;
};

// A plan for the machine's own flash: its size, ROM ID and flash_seed.
RomPlan default_rom_spec(const Machine& m);

bool make_rom(const Machine& m, const RomPlan& plan, std::vector<uint8_t>* out, std::string* err);

// The 32-bit wrap-around sum of len / 4 little-endian words.
uint32_t word_sum(const uint8_t* p, uint32_t len);
