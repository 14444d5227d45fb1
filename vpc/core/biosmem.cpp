#include "biosmem.h"

#include <cstring>

#include "le.h"
#include "prng.h"

namespace {

const uint8_t kSig[4] = {'$', 'Q', 'Z', 'X'};

// Positions in [0, 0xFFFB) of the segment that start "$QZX".
int count_headers(const uint8_t* seg, int* first)
{
    int n = 0;
    *first = -1;
    for (uint32_t i = 0; i + 4 <= kSegmentSize; ++i)
        if (std::memcmp(seg + i, kSig, 4) == 0) {
            if (n++ == 0)
                *first = int(i);
        }
    return n;
}

} // namespace

void build_bios_records(const Machine& m, const FaultSet& run, uint8_t* phys)
{
    uint8_t* seg = phys + kBiosSegment;
    Prng rng = prng_seed(m.flash_seed, 0xB105);
    for (uint32_t i = 0; i < kSegmentSize; i += 8) {
        uint64_t r = prng_next(&rng);
        std::memcpy(seg + i, &r, 8);
    }
    // The filler must never carry a header by accident.
    for (uint32_t i = 0; i + 4 <= kSegmentSize; ++i)
        if (std::memcmp(seg + i, kSig, 4) == 0)
            seg[i] = 0;

    HeaderPlace hp = header_place(m, run);
    if (hp.header >= 0) {
        uint8_t h[kHeaderSize] = {};
        std::memcpy(h, kSig, 4);
        h[4] = uint8_t(hp.param_offset);
        put_le16(h + 8, m.info_ptr_offset);
        put_le16(h + 10, m.info_paragraph);
        put_le16(h + 12, m.smi_port);
        // The parameter block starts zeroed; when it lies on the header
        // (offset 0) the header bytes are what it starts with.
        if (hp.param_offset >= kHeaderSize)
            std::memset(phys + hp.param_phys, 0, kParamBlockSize);
        else
            std::memset(phys + hp.param_phys + kHeaderSize - hp.param_offset, 0,
                        kParamBlockSize - (kHeaderSize - hp.param_offset));
        uint32_t room = kSegmentSize - uint32_t(hp.header);
        std::memcpy(seg + hp.header, h, room < kHeaderSize ? room : kHeaderSize);
    }

    uint8_t* info = phys + m.info_paragraph * 16;
    put_le32(info + m.info_ptr_offset, m.info_record_offset);
    uint8_t* rec = info + m.info_record_offset;
    std::memcpy(rec, "ZFINFO", 6);
    put_le16(rec + 6, m.rom_kb);
    put_le16(rec + 8, 0);
    put_le16(rec + 10, m.block_table_offset);
    put_le16(rec + 12, m.nvram_list_offset);
    uint8_t* table = info + m.block_table_offset;
    put_le16(table, uint32_t(m.blocks.size()));
    put_le16(table + 2, m.boot_blocks);
    for (size_t i = 0; i < m.blocks.size(); ++i) {
        put_le32(table + 4 + 8 * i, m.blocks[i].address);
        put_le32(table + 8 + 8 * i, m.blocks[i].size);
    }
    uint8_t* nv = info + m.nvram_list_offset;
    put_le16(nv, uint32_t(m.nvram.size()));
    for (size_t i = 0; i < m.nvram.size(); ++i) {
        put_le32(nv + 2 + 8 * i, m.nvram[i]);
        put_le32(nv + 6 + 8 * i, 0);
    }
}

bool bios_header_matches(const Machine& m, const FaultSet& run, const uint8_t* phys)
{
    int first;
    int n = count_headers(phys + kBiosSegment, &first);
    HeaderPlace hp = header_place(m, run);
    if (hp.header < 0)
        return n == 0;
    return n == 1 && first == hp.header;
}

void build_cmos(uint32_t seed, uint8_t* cmos)
{
    Prng rng = prng_seed(seed, 0xC305);
    for (int i = 0; i < 128; ++i)
        cmos[i] = uint8_t(prng_next(&rng));
    // Clock in BCD: 12:34:56, 2024-06-15, registers A-D as a running RTC has them.
    const uint8_t clock[14] = {0x56, 0, 0x34, 0, 0x12, 0, 0x07, 0x15, 0x06, 0x24, 0x26, 0x02, 0x00, 0x80};
    std::memcpy(cmos, clock, sizeof clock);
    uint32_t sum = 0;
    for (int i = 0x10; i <= 0x2D; ++i)
        sum += cmos[i];
    cmos[0x2E] = uint8_t(sum >> 8);
    cmos[0x2F] = uint8_t(sum);
    cmos[0x32] = 0x20;  // century
}
