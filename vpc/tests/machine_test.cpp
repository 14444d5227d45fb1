// Machine descriptions, the BIOS records they put in memory, and ROM images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "biosmem.h"
#include "le.h"
#include "machine.h"
#include "rommaker.h"

namespace {

Machine parse_ok(const std::string& text)
{
    Machine m;
    std::string err;
    EXPECT_TRUE(parse_machine(text, &m, &err)) << err;
    return m;
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// What a reader of the BIOS finds, independently of the code that wrote it.
struct Found {
    int header = -1;
    int headers = 0;
    uint32_t param_phys = 0, smi = 0, rom_kb = 0;
    std::vector<BlockEntry> blocks;
    uint32_t b = 0;
    std::vector<uint32_t> nvram;
};

Found read_bios(const std::vector<uint8_t>& phys)
{
    Found f;
    const uint8_t* seg = phys.data() + kBiosSegment;
    for (uint32_t i = 0; i <= 0xFFFA; ++i)
        if (std::memcmp(seg + i, "$QZX", 4) == 0 && f.headers++ == 0)
            f.header = int(i);
    if (f.header < 0 || f.header + 14 > 0xFFFF)
        return f;
    const uint8_t* h = seg + f.header;
    f.param_phys = kBiosSegment + uint32_t(f.header) + h[4];
    f.smi = get_le16(h + 12);
    const uint8_t* info = phys.data() + get_le16(h + 10) * 16;
    const uint8_t* rec = info + get_le32(info + get_le16(h + 8));
    f.rom_kb = get_le16(rec + 6);
    const uint8_t* t = info + get_le16(rec + 10);
    f.b = get_le16(t + 2);
    for (uint32_t i = 0; i < get_le16(t); ++i)
        f.blocks.push_back({get_le32(t + 4 + 8 * i), get_le32(t + 8 + 8 * i)});
    const uint8_t* nv = info + get_le16(rec + 12);
    for (uint32_t i = 0; i < get_le16(nv); ++i)
        f.nvram.push_back(get_le32(nv + 2 + 8 * i));
    return f;
}

std::vector<uint8_t> bios_of(const Machine& m, const FaultSet& run)
{
    std::vector<uint8_t> phys(kPhysMemSize, 0);
    build_bios_records(m, run, phys.data());
    return phys;
}

FaultSet no_faults()
{
    FaultSet f;
    faults_clear(&f);
    return f;
}

TEST(MachineDescription, DefaultMachineIsSound)
{
    Machine m = parse_ok(kDefaultMachine);
    EXPECT_EQ(rom_size(m), 512u * 1024);
    EXPECT_EQ(rom_base(m), 0x80000u);
    ASSERT_EQ(m.blocks.size(), 10u);
    EXPECT_EQ(m.boot_blocks, 2u);
    EXPECT_EQ(m.blocks[8].address, 0xF0000u);
    EXPECT_EQ(m.blocks[9].address, 0xF8000u);
    EXPECT_EQ(m.nvram, (std::vector<uint32_t>{0xE0000, 0xE8000}));
    // The blocks tile the ROM exactly, and the ROM ID lies in the boot block.
    uint64_t covered = 0;
    for (const BlockEntry& b : m.blocks)
        covered += b.size;
    EXPECT_EQ(covered, rom_size(m));
    uint32_t off, len;
    boot_region(m, &off, &len);
    EXPECT_EQ(off + len, rom_size(m));
    EXPECT_LE(off, rom_size(m) - 32);
    EXPECT_STREQ(m.rom_id, "ZX512A01");
    // The info window must not overlap the BIOS segment or the transfer buffer.
    EXPECT_LE(m.info_paragraph * 16 + 0xFFFFu, kBiosSegment);
}

TEST(MachineDescription, LinesOverrideAccumulateAndClear)
{
    Machine m = parse_ok(std::string(kDefaultMachine) + "rom_kb = 2048\nsmi_port = 0x1234\nrom_id = AB\n");
    EXPECT_EQ(rom_base(m), 0u);
    EXPECT_EQ(m.blocks.back().address, 0x1F8000u);  // layout follows the new size
    EXPECT_EQ(m.smi_port, 0x1234u);
    EXPECT_EQ(std::memcmp(m.rom_id, "AB\0\0\0\0\0\0", 8), 0);

    m = parse_ok("rom_kb = 64\nblock = 0xF0000 32K\nblocks = 0xF8000 16K 2 # two\nboot_blocks = 1\n"
                 "nvram = 0xF8000\nfault = read_fail=0xF0000\nwrite_fail = 0xF8000\n");
    ASSERT_EQ(m.blocks.size(), 3u);
    EXPECT_EQ(m.blocks[2].address, 0xFC000u);
    EXPECT_EQ(m.faults.flash.read_fail.count, 1u);
    EXPECT_EQ(m.faults.flash.write_fail.addr[0], 0xF8000u);

    m = parse_ok(std::string(kDefaultMachine) + "nvram = none\n");
    EXPECT_TRUE(m.nvram.empty());
    m = parse_ok("block = 0xF0000 64K\nblock = none\nrom_kb = 64\nblock = 0xF0000 64K\nboot_blocks = 0\n");
    EXPECT_EQ(m.blocks.size(), 1u);
}

TEST(MachineDescription, RejectsUnsoundMachines)
{
    const char* bad[] = {
        "rom_kb = 0\n",
        "rom_kb = 65536\n",
        "rom_kb = 64\n",                                        // too small for a generated layout
        "rom_kb = 512\nblock = 0x80000 64K\nboot_blocks = 2\n", // b > n
        "smi_port = 0x70\n",
        "smi_port = 0x10000\n",
        "param_offset = 256\n",
        "header_pos = 0xffe0\n",                               // parameter block past the segment
        "module_major = 0\n",
        "rom_id = NINECHARS\n",
        "no_such_key = 1\n",
        "rom_kb\n",
        "rom_kb = twelve\n",
        "block_table_offset = 0x100\n",                         // on top of the info record
        "info_paragraph = 0xf000\ninfo_ptr_offset = 0x5a44\n",  // inside the $QZX header
    };
    for (const char* t : bad) {
        Machine m;
        std::string err;
        EXPECT_FALSE(parse_machine(t, &m, &err)) << t;
        EXPECT_FALSE(err.empty()) << t;
    }
}

TEST(MachineDescription, ShippedMachinesParseAndKeepTheirPromises)
{
    struct Case {
        const char* file;
        uint32_t kb, base, b, m;
    } cases[] = {
        {"2mb.conf", 2048, 0, 2, 2},         {"16mb.conf", 16384, 0, 2, 2},     {"64mb.conf", 65535, 0, 2, 2},
        {"unaligned-info.conf", 512, 0x80000, 2, 2}, {"out-of-order.conf", 512, 0x80000, 2, 2},
        {"no-bootblock.conf", 512, 0x80000, 0, 2},   {"no-nvram.conf", 512, 0x80000, 2, 0},
    };
    for (const Case& c : cases) {
        std::string text = read_text(std::string(VPC_MACHINES_DIR) + "/" + c.file);
        ASSERT_FALSE(text.empty()) << c.file;
        Machine m = parse_ok(text);
        EXPECT_EQ(m.rom_kb, c.kb) << c.file;
        EXPECT_EQ(rom_base(m), c.base) << c.file;
        EXPECT_EQ(m.boot_blocks, c.b) << c.file;
        EXPECT_EQ(m.nvram.size(), c.m) << c.file;
        uint64_t covered = 0;
        for (const BlockEntry& b : m.blocks)
            covered += b.size;
        EXPECT_EQ(covered, rom_size(m)) << c.file;
        Found f = read_bios(bios_of(m, no_faults()));
        EXPECT_EQ(f.headers, 1) << c.file;
        EXPECT_EQ(f.rom_kb, c.kb) << c.file;
        EXPECT_EQ(f.blocks.size(), m.blocks.size()) << c.file;
    }
    Machine ooo = parse_ok(read_text(std::string(VPC_MACHINES_DIR) + "/out-of-order.conf"));
    bool ascending = true;
    for (size_t i = 1; i < ooo.blocks.size(); ++i)
        ascending = ascending && ooo.blocks[i - 1].address < ooo.blocks[i].address;
    EXPECT_FALSE(ascending);
    Machine un = parse_ok(read_text(std::string(VPC_MACHINES_DIR) + "/unaligned-info.conf"));
    EXPECT_NE((un.info_paragraph * 16) % 4096, 0u);
}

TEST(BiosRecords, ReaderFindsWhatTheDescriptionSays)
{
    Machine m = parse_ok(std::string(kDefaultMachine) + "info_paragraph = 0xd123\nsmi_port = 0x1234\n");
    Found f = read_bios(bios_of(m, no_faults()));
    EXPECT_EQ(f.headers, 1);
    EXPECT_EQ(f.header, int(m.header_pos));
    EXPECT_EQ(f.param_phys, kBiosSegment + m.header_pos + m.param_offset);
    EXPECT_EQ(f.smi, 0x1234u);
    EXPECT_EQ(f.rom_kb, 512u);
    EXPECT_EQ(f.b, 2u);
    ASSERT_EQ(f.blocks.size(), m.blocks.size());
    for (size_t i = 0; i < f.blocks.size(); ++i) {
        EXPECT_EQ(f.blocks[i].address, m.blocks[i].address);
        EXPECT_EQ(f.blocks[i].size, m.blocks[i].size);
    }
    EXPECT_EQ(f.nvram, m.nvram);
}

TEST(BiosRecords, HeaderPlacementFaults)
{
    Machine m = parse_ok(kDefaultMachine);
    FaultSet run = no_faults();
    run.no_signature = true;
    std::vector<uint8_t> phys = bios_of(m, run);
    EXPECT_EQ(read_bios(phys).headers, 0);
    EXPECT_TRUE(bios_header_matches(m, run, phys.data()));
    EXPECT_FALSE(bios_header_matches(m, no_faults(), phys.data()));

    struct Case {
        int pos;
        int bytes_in_segment;
    } cases[] = {{65521, 14}, {65525, 11}, {65531, 5}, {0, 14}};
    for (const Case& c : cases) {
        run = no_faults();
        run.signature_at = c.pos;
        phys = bios_of(m, run);
        const uint8_t* seg = phys.data() + kBiosSegment;
        int first = -1;
        for (uint32_t i = 0; i + 4 <= kSegmentSize && first < 0; ++i)
            if (std::memcmp(seg + i, "$QZX", 4) == 0)
                first = int(i);
        EXPECT_EQ(first, c.pos);
        EXPECT_TRUE(bios_header_matches(m, run, phys.data()));
        // Cut at the segment end: the header's last bytes (the SMI port) are missing.
        if (c.bytes_in_segment == 14) {
            EXPECT_EQ(get_le16(seg + c.pos + 12), 0xB2);
        }
        HeaderPlace hp = header_place(m, run);
        EXPECT_EQ(hp.header, c.pos);
        EXPECT_EQ(hp.param_phys, kBiosSegment + uint32_t(c.pos) + seg[c.pos + 4]);
    }
}

TEST(RomMaker, DefaultImageIsValidAndClean)
{
    Machine m = parse_ok(kDefaultMachine);
    std::vector<uint8_t> rom;
    std::string err;
    ASSERT_TRUE(make_rom(m, default_rom_spec(m), &rom, &err)) << err;
    ASSERT_EQ(rom.size(), 512u * 1024);
    EXPECT_EQ(std::memcmp(rom.data() + rom.size() - 32, "ZX512A01", 8), 0);
    EXPECT_EQ(word_sum(rom.data() + 0x70000, 0x10000), 0u);
    std::string s(rom.begin(), rom.end());
    for (const char* magic : {"ZORNCBLK", "ZORBIOSC", "$BBM"})
        EXPECT_EQ(s.find(magic), std::string::npos) << magic;
    // Plausible: neither constant nor one repeated page.
    EXPECT_NE(std::memcmp(rom.data(), rom.data() + 4096, 4096), 0);
    // Deterministic per seed, different across seeds.
    std::vector<uint8_t> again, other;
    make_rom(m, default_rom_spec(m), &again, &err);
    EXPECT_EQ(rom, again);
    RomPlan plan = default_rom_spec(m);
    plan.seed = 2;
    make_rom(m, plan, &other, &err);
    EXPECT_NE(rom, other);
}

TEST(RomMaker, RecordsWhereAskedAndTheBootBlockStillSumsToZero)
{
    Machine m = parse_ok(kDefaultMachine);
    RomPlan plan = default_rom_spec(m);
    plan.bbm = true;
    plan.nc = {{0x10000, 0x8000}, {0x70000, 0x10}};  // one inside the boot block
    plan.sig = {{42, 0x00}, {0x7FF02, 0x33}};
    std::vector<uint8_t> rom;
    std::string err;
    ASSERT_TRUE(make_rom(m, plan, &rom, &err)) << err;
    EXPECT_EQ(std::memcmp(rom.data() + 0x10000, "ZORNCBLK", 8), 0);
    EXPECT_EQ(get_le32(rom.data() + 0x1000C), 0x8000u);
    EXPECT_EQ(get_le32(rom.data() + 0x7000C), 0x10u);
    EXPECT_EQ(std::memcmp(rom.data() + 42, "ZORBIOSC", 8), 0);
    EXPECT_EQ(rom[39], 0x00);
    EXPECT_EQ(rom[0x7FF02 - 3], 0x33);
    EXPECT_EQ(word_sum(rom.data() + 0x70000, 0x10000), 0u);
    std::string s(rom.begin(), rom.end());
    size_t bbm = s.find("$BBM");
    ASSERT_NE(bbm, std::string::npos);
    EXPECT_GE(bbm, 0x70000u);
    EXPECT_EQ(s.find("$BBM", bbm + 1), std::string::npos);
    EXPECT_EQ(s.find("ZORNCBLK", 0x10001), 0x70000u);
    EXPECT_EQ(s.find("ZORBIOSC", 43), 0x7FF02u);
    EXPECT_EQ(std::memcmp(rom.data() + rom.size() - 32, "ZX512A01", 8), 0);
}

TEST(RomMaker, RefusesMisplacedRecords)
{
    Machine m = parse_ok(kDefaultMachine);
    struct Case {
        std::vector<NcPlan> nc;
        std::vector<SigPlan> sig;
    } cases[] = {
        {{{0x1008, 16}}, {}},                 // not a multiple of 16
        {{{0x7FFE0, 16}}, {}},                // on the ROM ID
        {{}, {{44, 0}}},                     // 44 mod 8 = 4
        {{}, {{2, 0}}},                      // byte would lie before the file
        {{{0x1000, 16}}, {{0x100A, 0}}},     // records overlap
    };
    for (const Case& c : cases) {
        RomPlan plan = default_rom_spec(m);
        plan.nc = c.nc;
        plan.sig = c.sig;
        std::vector<uint8_t> rom;
        std::string err;
        EXPECT_FALSE(make_rom(m, plan, &rom, &err));
        EXPECT_FALSE(err.empty());
    }
    Machine nobb = parse_ok(read_text(std::string(VPC_MACHINES_DIR) + "/no-bootblock.conf"));
    RomPlan plan = default_rom_spec(nobb);
    plan.bbm = true;
    std::vector<uint8_t> rom;
    std::string err;
    EXPECT_FALSE(make_rom(nobb, plan, &rom, &err));
}

TEST(RomMaker, OtherSizesCutOrExtendTheMachinesImage)
{
    Machine m = parse_ok(kDefaultMachine);
    std::vector<uint8_t> full, rom;
    std::string err;
    ASSERT_TRUE(make_rom(m, default_rom_spec(m), &full, &err)) << err;
    RomPlan plan = default_rom_spec(m);
    plan.size = 512 * 1024 + 1;
    ASSERT_TRUE(make_rom(m, plan, &rom, &err)) << err;
    ASSERT_EQ(rom.size(), 512u * 1024 + 1);
    EXPECT_TRUE(std::equal(full.begin(), full.end(), rom.begin()));  // ROM ID and boot block where the machine has them
    plan.size = 256 * 1024;
    ASSERT_TRUE(make_rom(m, plan, &rom, &err)) << err;
    ASSERT_EQ(rom.size(), 256u * 1024);
    EXPECT_TRUE(std::equal(rom.begin(), rom.end(), full.begin()));
    plan.nc = {{0x40000, 16}};  // beyond the shorter file
    EXPECT_FALSE(make_rom(m, plan, &rom, &err));

    // A block table that reaches outside the flash still gives a sound image.
    Machine odd = parse_ok("rom_kb = 512\nblock = 0x70000 0x10000\nblock = 0x80000 0x80000\nboot_blocks = 0\n");
    ASSERT_TRUE(make_rom(odd, default_rom_spec(odd), &rom, &err)) << err;
    EXPECT_EQ(rom.size(), 512u * 1024);

    Machine ooo = parse_ok(read_text(std::string(VPC_MACHINES_DIR) + "/out-of-order.conf"));
    ASSERT_TRUE(make_rom(ooo, default_rom_spec(ooo), &rom, &err)) << err;
    uint32_t off, len;
    boot_region(ooo, &off, &len);
    EXPECT_EQ(word_sum(rom.data() + off, len), 0u);
}

} // namespace
