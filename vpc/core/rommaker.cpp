#include "rommaker.h"

#include <cstdio>
#include <cstring>

#include "le.h"
#include "prng.h"

namespace {

const char* const kMagic[] = {"ZORNCBLK", "ZORBIOSC", "$BBM"};

struct Span {
    uint32_t start, len;
};

bool overlaps(const std::vector<Span>& spans, uint32_t start, uint32_t len)
{
    for (const Span& s : spans)
        if (start < s.start + s.len && s.start < start + len)
            return true;
    return false;
}

void fill_contents(uint8_t* p, uint32_t size, uint64_t seed)
{
    static const char* const vocab[] = {"BIOS ", "Setup ", "Memory ", "Press DEL ", "Keyboard ",
                                        "error ", "Copyright ", "CPU ", "Cache ", "Boot ",
                                        "Disk ", "Checksum ", "Date ", "NVRAM ", "PCI "};
    Prng rng = prng_seed(seed, 0x5203);
    for (uint32_t page = 0; page < size; page += 4096) {
        uint32_t n = size - page < 4096 ? size - page : 4096;
        uint8_t* q = p + page;
        uint64_t kind = prng_next(&rng) % 100;
        if (kind < 50) {  // code and tables
            for (uint32_t i = 0; i < n; ++i)
                q[i] = uint8_t(prng_next(&rng) >> 24);
        } else if (kind < 70) {  // unused flash
            std::memset(q, 0xFF, n);
        } else if (kind < 82) {
            std::memset(q, 0x00, n);
        } else {  // message strings
            uint32_t i = 0;
            while (i < n) {
                const char* w = vocab[prng_next(&rng) % (sizeof vocab / sizeof vocab[0])];
                for (; *w && i < n; ++w)
                    q[i++] = uint8_t(*w);
                if (i < n && prng_next(&rng) % 6 == 0)
                    q[i++] = 0;
            }
        }
    }
}

// Breaks every occurrence of the record signatures in [from, to).
void scrub(uint8_t* p, uint32_t size, uint32_t from, uint32_t to)
{
    for (const char* m : kMagic) {
        uint32_t ml = uint32_t(std::strlen(m));
        for (uint32_t i = from; i + ml <= size && i < to; ++i)
            if (std::memcmp(p + i, m, ml) == 0)
                p[i] = 0;
    }
}

// True when a signature occurs anywhere that is not a placed record.
bool stray_magic(const uint8_t* p, uint32_t size, const std::vector<Span>& placed, uint32_t from, uint32_t to)
{
    for (const char* m : kMagic) {
        uint32_t ml = uint32_t(std::strlen(m));
        for (uint32_t i = from; i + ml <= size && i < to; ++i)
            if (std::memcmp(p + i, m, ml) == 0) {
                bool ok = false;
                for (const Span& s : placed)
                    ok = ok || s.start == i;
                if (!ok)
                    return true;
            }
    }
    return false;
}

} // namespace

uint32_t word_sum(const uint8_t* p, uint32_t len)
{
    uint32_t s = 0;
    for (uint32_t i = 0; i + 4 <= len; i += 4)
        s += get_le32(p + i);
    return s;
}

RomPlan default_rom_spec(const Machine& m)
{
    RomPlan s{};
    s.size = rom_size(m);
    std::memcpy(s.id, m.rom_id, sizeof s.id);
    s.seed = m.flash_seed;
    return s;
}

bool make_rom(const Machine& m, const RomPlan& plan, std::vector<uint8_t>* out, std::string* err)
{
    char msg[128];
    // The image is made for the machine's ROM size, then cut short or extended
    // with more contents, so a file of another size still holds the machine's
    // ROM ID and boot block where the machine has them (as far as it reaches).
    uint32_t rom = rom_size(m);
    uint32_t size = plan.size > rom ? plan.size : rom;
    out->assign(size, 0);
    uint8_t* p = out->data();
    fill_contents(p, size, plan.seed);
    scrub(p, size, 0, size);

    std::vector<Span> prot;    // bytes the checksum fix must not touch
    std::vector<Span> placed;  // where signatures are meant to be
    if (rom >= 32) {
        std::memcpy(p + rom - 32, plan.id, 8);
        prot.push_back({rom - 32, 8});
    }
    for (const NcPlan& nc : plan.nc) {
        if (nc.offset % 16 != 0 || uint64_t(nc.offset) + 16 > plan.size) {
            std::snprintf(msg, sizeof msg, "--nc offset 0x%x must be a multiple of 16 inside the ROM", nc.offset);
            *err = msg;
            return false;
        }
        if (overlaps(prot, nc.offset, 16)) {
            std::snprintf(msg, sizeof msg, "--nc at 0x%x overlaps another record", nc.offset);
            *err = msg;
            return false;
        }
        std::memcpy(p + nc.offset, "ZORNCBLK", 8);
        put_le32(p + nc.offset + 8, 0);
        put_le32(p + nc.offset + 12, nc.length);
        prot.push_back({nc.offset, 16});
        placed.push_back({nc.offset, 8});
    }
    for (const SigPlan& sg : plan.sig) {
        if (sg.offset % 8 != 2 || sg.offset < 6 || uint64_t(sg.offset) + 18 > plan.size) {
            std::snprintf(msg, sizeof msg, "--sig offset 0x%x must be 2 mod 8, from 10, inside the ROM", sg.offset);
            *err = msg;
            return false;
        }
        // The record owns the aligned words from offset - 6 to offset + 18.
        if (overlaps(prot, sg.offset - 6, 24)) {
            std::snprintf(msg, sizeof msg, "--sig at 0x%x overlaps another record", sg.offset);
            *err = msg;
            return false;
        }
        p[sg.offset - 3] = sg.byte;
        std::memcpy(p + sg.offset, "ZORBIOSC", 8);
        prot.push_back({sg.offset - 6, 24});
        placed.push_back({sg.offset, 8});
    }

    // The marker and the balancing word go into the lowest boot block; the sum is the sum of
    // all of them, however they lie.
    auto spans = boot_spans(m);
    uint32_t bb_off = spans.empty() ? 0 : spans[0].first, bb_len = spans.empty() ? 0 : spans[0].second;
    bool region_fits = bb_len >= 4;
    for (const auto& s : spans)
        region_fits = region_fits && s.first < rom && uint64_t(s.first) + s.second <= rom;
    if (plan.bbm) {
        if (!region_fits) {
            *err = "--bbm needs a boot-block region inside the ROM";
            return false;
        }
        uint32_t pos = bb_off + 0x40;
        while (pos + 4 <= bb_off + bb_len && overlaps(prot, pos, 4))
            pos += 16;
        if (pos + 4 > bb_off + bb_len) {
            *err = "no room for $BBM in the boot-block region";
            return false;
        }
        std::memcpy(p + pos, "$BBM", 4);
        prot.push_back({pos, 4});
        placed.push_back({pos, 4});
    }
    if (stray_magic(p, size, placed, 0, size)) {
        *err = "records form a signature where none was asked for";
        return false;
    }

    // Balance the boot-block region with one word that no record owns.
    if (region_fits) {
        uint32_t sum = 0;
        for (const auto& s : spans)
            sum += word_sum(p + s.first, s.second);
        for (uint32_t w = bb_off; w + 4 <= bb_off + bb_len; w += 4) {
            if (overlaps(prot, w, 4))
                continue;
            uint32_t old = get_le32(p + w);
            put_le32(p + w, old - sum);
            uint32_t from = w >= 8 ? w - 8 : 0;
            if (!stray_magic(p, size, placed, from, w + 4)) {
                out->resize(plan.size);
                return true;
            }
            put_le32(p + w, old);
        }
        *err = "no word left to balance the boot-block region";
        return false;
    }
    out->resize(plan.size);
    return true;
}
