// The capture's reading of BIOS records it does not trust: one table of windows, each a sound
// machine's records with one thing broken, and what the capture must say about it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "biosmem.h"
#include "le.h"
#include "machine.h"
#include "records.h"
#include "twin.h"

namespace {

constexpr uint32_t kWin = 0xFFFF;

struct Phys {
    Machine m;
    std::vector<uint8_t> mem = std::vector<uint8_t>(kPhysMemSize, 0);
    uint8_t* seg() { return mem.data() + kBiosSegment; }
    uint8_t* info() { return mem.data() + m.info_paragraph * 16; }
    uint8_t* table() { return info() + m.block_table_offset; }
};

// Captures the windows as cmd_capture does; "" when a twin results, else the reason given.
std::string capture(Phys& p, Machine* out)
{
    FoundHeader h{};
    FoundInfo f{};
    std::string why, err;
    parse_machine(kDefaultMachine, out, &err);
    uint64_t size = 0;
    if (!capture_header(p.seg(), kWin, &h, &why))
        return why;
    const uint8_t* info = p.mem.data() + h.info_paragraph * 16;
    if (!capture_info(info, kWin, h, &f, &why) || !twin_machine(h, f, out, &why) || !backup_size(*out, &size, &why))
        return why;
    return "";
}

struct BadCase {
    const char* name;
    std::function<void(Phys&)> spoil;
    const char* says;  // part of the refusal; "" when the capture must succeed
};

TEST(Capture, BadRecordsAreRefusedWithWhatWasFoundAndWhere)
{
    const BadCase cases[] = {
        {"sound", [](Phys&) {}, ""},
        {"no header", [](Phys& p) { p.seg()[p.m.header_pos] = 'X'; }, "no \"$QZX\" header"},
        {"header at the segment's end",
         [](Phys& p) {
             p.seg()[p.m.header_pos] = 'X';
             std::memcpy(p.seg() + 0xFFF5, "$QZX", 4);
         },
         "\"$QZX\" at 0xFFFF5: its 14-byte header runs past the segment's end at 0xFFFFF"},
        {"parameter block off the segment",
         [](Phys& p) {
             p.seg()[p.m.header_pos] = 'X';
             std::memcpy(p.seg() + 0xFFE0, "$QZX", 4);
             p.seg()[0xFFE4] = 0x10;
         },
         "FlashParamBlock at +0x10 runs past"},
        {"record word off the segment", [](Phys& p) { put_le16(p.seg() + p.m.header_pos + 8, 0xFFFC); },
         "the word at +0xFFFC"},
        {"record off the segment", [](Phys& p) { put_le32(p.info() + p.m.info_ptr_offset, 0xFFF5); },
         "the FlashInfoRecord at +0xFFF5"},
        {"table runs off the segment", [](Phys& p) { put_le16(p.table(), 0x2000); },
         "the BlockTable at 0xE0200 with 8192 entries runs past the flash-info segment's end at 0xEFFFF"},
        {"more boot blocks than blocks", [](Phys& p) { put_le16(p.table() + 2, 11); },
         "counts 11 boot-block entries but has only 10"},
        {"NVRAM list runs off the segment", [](Phys& p) { put_le16(p.info() + p.m.nvram_list_offset, 0x1FFF); },
         "the NvramList at 0xE0260 with 8191 entries runs past"},
        {"zero blocks", [](Phys& p) { put_le16(p.table(), 0), put_le16(p.table() + 2, 0); }, "has no entries"},
        {"zero KB", [](Phys& p) { put_le16(p.info() + p.m.info_record_offset + 6, 0); }, "ROM size of 0 KB"},
        {"block below RomBase", [](Phys& p) { put_le32(p.table() + 4, 0x70000); }, "lies below RomBase 0x00080000"},
        {"table short of the ROM's top", [](Phys& p) { put_le16(p.table() + 2, 0), put_le16(p.table(), 9); },
         "miss the ROM ID"},
        {"table past the ROM's top", [](Phys& p) { put_le32(p.table() + 8 + 9 * 8, 0x9000); },
         "reach past the ROM's end"},
        {"NVRAM list at offset 0", [](Phys& p) { put_le16(p.info() + p.m.info_record_offset + 12, 0); },
         "NvramList lies at offset 0"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        Phys p;
        std::string err;
        ASSERT_TRUE(parse_machine(kDefaultMachine, &p.m, &err)) << err;
        FaultSet none;
        faults_clear(&none);
        build_bios_records(p.m, none, p.mem.data());
        c.spoil(p);
        Machine got;
        std::string why = capture(p, &got);
        if (*c.says == '\0') {
            EXPECT_EQ(why, "");
            // The description gives back every record at its place.
            Machine back;
            ASSERT_TRUE(parse_machine(machine_text(got, "a test"), &back, &err)) << err;
            EXPECT_EQ(back.blocks.size(), p.m.blocks.size());
            EXPECT_EQ(back.nvram, p.m.nvram);
            EXPECT_EQ(back.header_pos, p.m.header_pos);
            EXPECT_EQ(back.nvram_list_offset, p.m.nvram_list_offset);
            EXPECT_EQ(back.info_paragraph, p.m.info_paragraph);
        } else {
            EXPECT_NE(why.find(c.says), std::string::npos) << why;
        }
    }
}

} // namespace
