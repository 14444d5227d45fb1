// The flash protocol core on a RAM chip: every refusal and fault answers its
// status and leaves the chip as a NOR flash would be left.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

extern "C" {
#include "../core/flash_core.h"
}

namespace {

constexpr uint32_t kBase = 0xF0000, kSize = 0x10000, kBuf = 0x1000;

struct Rig {
    std::vector<uint8_t> chip = std::vector<uint8_t>(kSize, 0xFF);
    std::vector<uint8_t> mem = std::vector<uint8_t>(0x4000, 0);
    fw_config cfg{};
    fw_state st{};
    uint8_t* param = mem.data() + 0x100;

    Rig()
    {
        cfg.magic = FW_MAGIC;
        cfg.rom_base = kBase;
        cfg.rom_size = kSize;
        cfg.open_status = 0;
        cfg.erase_fail = cfg.write_fail = cfg.bad_byte = FW_NONE;
        cfg.block_count = 2;
        cfg.blocks[0] = {kBase, 0x8000};
        cfg.blocks[1] = {kBase + 0x8000, 0x8000};
        st.cfg = &cfg;
        st.host = {this, buffer, read, erase, program};
        for (uint32_t i = 0; i < kSize; ++i)
            chip[i] = uint8_t(i * 7 + 3);
        for (uint32_t i = 0; i < FW_PIECE; ++i)
            mem[kBuf + i] = uint8_t(i * 13);
    }
    static uint8_t* buffer(void* c, uint32_t phys)
    {
        Rig* r = static_cast<Rig*>(c);
        return phys && phys + FW_PIECE <= r->mem.size() ? r->mem.data() + phys : nullptr;
    }
    static void read(void* c, uint32_t off, uint8_t* dst, uint32_t len)
    {
        std::memcpy(dst, static_cast<Rig*>(c)->chip.data() + off, len);
    }
    static int erase(void* c, uint32_t off, uint32_t len)
    {
        std::memset(static_cast<Rig*>(c)->chip.data() + off, 0xFF, len);
        return 1;
    }
    static int program(void* c, uint32_t off, const uint8_t* src, uint32_t len)
    {
        for (uint32_t i = 0; i < len; ++i)
            static_cast<Rig*>(c)->chip[off + i] &= src[i];
        return 1;
    }
    void put(int at, uint32_t v) { std::memcpy(param + at, &v, 4); }
    uint32_t get(int at) const { uint32_t v; std::memcpy(&v, param + at, 4); return v; }
};

struct Case {
    const char* name;
    bool open;
    uint8_t command;
    uint32_t address, length, buffer;
    int checksum_delta;  // write: added to the right checksum
    uint32_t fw_config::*fault;
    uint32_t fault_at;
    uint8_t status;
    // Chip after the command at the piece (or block) address, relative to before:
    enum { Same, Erased, Anded, AndedBadByte } chip;
};

const Case kCases[] = {
    {"read before open", false, FW_CMD_READ, kBase, 1024, kBuf, 0, nullptr, 0, FW_NOT_OPEN, Case::Same},
    {"read", true, FW_CMD_READ, kBase + 0x400, 1024, kBuf, 0, nullptr, 0, FW_OK, Case::Same},
    {"read of 512 bytes", true, FW_CMD_READ, kBase, 512, kBuf, 0, nullptr, 0, FW_BAD_LENGTH, Case::Same},
    {"read below the ROM", true, FW_CMD_READ, kBase - 4, 1024, kBuf, 0, nullptr, 0, FW_BAD_ADDRESS, Case::Same},
    {"read past the ROM", true, FW_CMD_READ, kBase + kSize - 1020, 1024, kBuf, 0, nullptr, 0, FW_BAD_ADDRESS, Case::Same},
    {"read into buffer 0", true, FW_CMD_READ, kBase, 1024, 0, 0, nullptr, 0, FW_BAD_BUFFER, Case::Same},
    {"write", true, FW_CMD_WRITE, kBase + 0x800, 1024, kBuf, 0, nullptr, 0, FW_OK, Case::Anded},
    {"write, checksum off by one", true, FW_CMD_WRITE, kBase, 1024, kBuf, 1, nullptr, 0, FW_BAD_CHECKSUM, Case::Same},
    {"write that fails", true, FW_CMD_WRITE, kBase, 1024, kBuf, 0, &fw_config::write_fail, kBase + 1023, FW_DEVICE_ERROR, Case::Same},
    {"write past a failing piece", true, FW_CMD_WRITE, kBase, 1024, kBuf, 0, &fw_config::write_fail, kBase + 1024, FW_OK, Case::Anded},
    {"write storing a wrong byte", true, FW_CMD_WRITE, kBase, 1024, kBuf, 0, &fw_config::bad_byte, kBase + 5, FW_OK, Case::AndedBadByte},
    {"erase of a table block", true, FW_CMD_ERASE, kBase + 0x8000, 0x8000, 0, 0, nullptr, 0, FW_OK, Case::Erased},
    {"erase of a part of a block", true, FW_CMD_ERASE, kBase, 0x1000, 0, 0, nullptr, 0, FW_BAD_LENGTH, Case::Same},
    {"erase that fails", true, FW_CMD_ERASE, kBase, 0x8000, 0, 0, &fw_config::erase_fail, kBase + 0x7FFF, FW_DEVICE_ERROR, Case::Same},
    {"close", true, FW_CMD_CLOSE, 0, 0, 0, 0, nullptr, 0, FW_OK, Case::Same},
    {"close before open", false, FW_CMD_CLOSE, 0, 0, 0, 0, nullptr, 0, FW_NOT_OPEN, Case::Same},
};

TEST(FlashCore, CommandsAnswerTheirStatusAndLeaveTheChipAsNorFlash)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Rig r;
        if (c.fault)
            r.cfg.*c.fault = c.fault_at;
        if (c.open) {
            ASSERT_EQ(fw_command(&r.st, FW_CMD_OPEN, r.param), FW_OK);
        }
        if (c.chip == Case::AndedBadByte)  // as the programming pass leaves it
            std::fill(r.chip.begin(), r.chip.end(), 0xFF);
        std::vector<uint8_t> before = r.chip;
        r.put(0, c.buffer);
        r.put(4, c.address);
        r.put(8, c.length);
        r.put(12, fw_word_checksum(r.mem.data() + kBuf, FW_PIECE) + uint32_t(c.checksum_delta));
        EXPECT_EQ(fw_command(&r.st, c.command, r.param), c.status);
        EXPECT_EQ(r.param[16], c.status);

        std::vector<uint8_t> want = before;
        uint32_t off = c.address - kBase;
        for (uint32_t i = 0; c.chip == Case::Erased && i < c.length; ++i)
            want[off + i] = 0xFF;
        for (uint32_t i = 0; c.chip >= Case::Anded && i < FW_PIECE; ++i)
            want[off + i] &= r.mem[kBuf + i];
        if (c.chip == Case::AndedBadByte) {
            uint32_t at = c.fault_at - kBase;
            EXPECT_EQ(r.chip[at] ^ want[at], 0x01);
            want[at] = r.chip[at];
        }
        EXPECT_EQ(r.chip, want);
        if (c.command == FW_CMD_READ && c.status == FW_OK) {
            EXPECT_EQ(0, std::memcmp(r.mem.data() + kBuf, r.chip.data() + off, FW_PIECE));
            EXPECT_EQ(r.get(12), fw_word_checksum(r.mem.data() + kBuf, FW_PIECE));
        }
    }
}

TEST(FlashCore, OpenStatusAndForeignCommands)
{
    for (uint32_t status : {0u, 1u, 2u}) {
        Rig r;
        r.cfg.open_status = status;
        r.put(0, kBuf);
        r.put(4, kBase);
        r.put(8, 1024);
        EXPECT_EQ(fw_command(&r.st, FW_CMD_OPEN, r.param), status);
        // A refused open leaves the interface closed.
        EXPECT_EQ(fw_command(&r.st, FW_CMD_READ, r.param), status == 1 ? FW_NOT_OPEN : FW_OK);
        // Other users of the SMI port: not answered, block untouched.
        r.param[16] = 0x5A;
        EXPECT_EQ(fw_command(&r.st, 0xF1, r.param), FW_NOT_MINE);
        EXPECT_EQ(r.param[16], 0x5A);
    }
}

} // namespace
