// The flash protocol on both of its hosts: a RAM chip, and the virtual PC's
// flash handler over its flash image. Every command, refusal and fault answers
// its status and leaves the chip as a NOR flash would be left.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "flash_core.h"
#include "flash_handler.h"

namespace {

constexpr uint32_t kBase = 0xF0000, kSize = 0x10000, kBuf = 0x1000, kMem = 0x4000, kParam = 0x100;

enum Host { kRamChip, kImageFile };

struct Rig {
    Host host;
    std::vector<uint8_t> chip = std::vector<uint8_t>(kSize);
    std::vector<uint8_t> mem = std::vector<uint8_t>(kMem, 0);
    Machine machine{};
    FaultSet faults{};
    fw_state ram{};       // the RAM chip's core
    FlashHandler vpc{};   // the virtual PC's handler, core inside
    uint8_t* param = mem.data() + kParam;

    explicit Rig(Host h) : host(h)
    {
        faults_clear(&faults);
        machine.rom_kb = kSize / 1024;  // at kBase, below 1 MB
        machine.blocks = {{kBase, 0x8000}, {kBase + 0x8000, 0x8000}, {kBase + 0xFC00, 0x400}};
        flash_handler_init(&vpc, machine, mem.data(), kMem, chip.data(), kParam, &faults);
        ram = vpc.core;  // the same machine and faults, over the calls below
        ram.host = {this, buffer, read, erase, program};
        for (uint32_t i = 0; i < kSize; ++i)
            chip[i] = uint8_t(i * 7 + 3);
        for (uint32_t i = 0; i < FW_PIECE; ++i)
            mem[kBuf + i] = uint8_t(i * 13);
    }
    fw_state& core() { return host == kRamChip ? ram : vpc.core; }
    uint8_t cmd(uint8_t c)
    {
        if (host == kRamChip)
            return fw_command(&ram, c, param);
        SmiResult r = flash_smi(&vpc, c);
        EXPECT_FALSE(r.power_loss);
        return r.ignored ? uint8_t(FW_NOT_MINE) : r.status;
    }
    static uint8_t* buffer(void* c, uint32_t phys)
    {
        Rig* r = static_cast<Rig*>(c);
        return phys && uint64_t(phys) + FW_PIECE <= r->mem.size() ? r->mem.data() + phys : nullptr;
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

enum Before { Closed, Opened, OpenedAndClosed };
enum Chip { Same, Erased, Anded, AndedBadByte };

struct Case {
    const char* name;
    Before before;
    uint8_t command;
    uint32_t address, length, buffer;
    int checksum_delta;           // write: added to the right checksum
    fw_addrs fw_faults::*fault;   // an address fault, at fault_at
    uint32_t fault_at;
    uint32_t fw_faults::*answer;  // or a status fault, answering fault_at
    uint8_t status;               // FW_NOT_MINE: the status byte is left alone
    bool open_after;
    Chip chip;                    // at the piece (or block), relative to before
};

constexpr auto kReadFail = &fw_faults::read_fail, kBadSum = &fw_faults::read_badsum,
               kEraseFail = &fw_faults::erase_fail, kWriteFail = &fw_faults::write_fail,
               kCorrupt = &fw_faults::write_corrupt;
constexpr auto kOpenStatus = &fw_faults::open_status, kCloseStatus = &fw_faults::close_status;

const Case kCases[] = {
    {"open", Closed, FW_CMD_OPEN, 0, 0, 0, 0, nullptr, 0, nullptr, FW_OK, true, Same},
    {"open refused", Closed, FW_CMD_OPEN, 0, 0, 0, 0, nullptr, 1, kOpenStatus, FW_REFUSED, false, Same},
    {"open answering 2", Closed, FW_CMD_OPEN, 0, 0, 0, 0, nullptr, 2, kOpenStatus, 2, true, Same},
    {"close", Opened, FW_CMD_CLOSE, 0, 0, 0, 0, nullptr, 0, nullptr, FW_OK, false, Same},
    {"close answering 9", Opened, FW_CMD_CLOSE, 0, 0, 0, 0, nullptr, 9, kCloseStatus, 9, true, Same},
    {"close before open", Closed, FW_CMD_CLOSE, 0, 0, 0, 0, nullptr, 0, nullptr, FW_NOT_OPEN, false, Same},
    {"read before open", Closed, FW_CMD_READ, kBase, 1024, kBuf, 0, nullptr, 0, nullptr, FW_NOT_OPEN, false, Same},
    {"read after close", OpenedAndClosed, FW_CMD_READ, kBase, 1024, kBuf, 0, nullptr, 0, nullptr, FW_NOT_OPEN, false, Same},
    {"erase before open", Closed, FW_CMD_ERASE, kBase, 0x8000, 0, 0, nullptr, 0, nullptr, FW_NOT_OPEN, false, Same},
    {"write before open", Closed, FW_CMD_WRITE, kBase, 1024, kBuf, 0, nullptr, 0, nullptr, FW_NOT_OPEN, false, Same},
    {"read", Opened, FW_CMD_READ, kBase + 0x400, 1024, kBuf, 0, nullptr, 0, nullptr, FW_OK, true, Same},
    {"read of 512 bytes", Opened, FW_CMD_READ, kBase, 512, kBuf, 0, nullptr, 0, nullptr, FW_BAD_LENGTH, true, Same},
    {"read below the ROM", Opened, FW_CMD_READ, kBase - 4, 1024, kBuf, 0, nullptr, 0, nullptr, FW_BAD_ADDRESS, true, Same},
    {"read past the ROM", Opened, FW_CMD_READ, kBase + kSize - 1020, 1024, kBuf, 0, nullptr, 0, nullptr, FW_BAD_ADDRESS, true, Same},
    {"read above the ROM", Opened, FW_CMD_READ, kBase + kSize, 1024, kBuf, 0, nullptr, 0, nullptr, FW_BAD_ADDRESS, true, Same},
    {"read into buffer 0", Opened, FW_CMD_READ, kBase, 1024, 0, 0, nullptr, 0, nullptr, FW_BAD_BUFFER, true, Same},
    {"read into a buffer past memory", Opened, FW_CMD_READ, kBase, 1024, kMem - 512, 0, nullptr, 0, nullptr, FW_BAD_BUFFER, true, Same},
    {"read into a buffer that wraps", Opened, FW_CMD_READ, kBase, 1024, 0xFFFFFFF0, 0, nullptr, 0, nullptr, FW_BAD_BUFFER, true, Same},
    {"read that fails", Opened, FW_CMD_READ, kBase, 1024, kBuf, 0, kReadFail, kBase + 1023, nullptr, FW_DEVICE_ERROR, true, Same},
    {"read past a failing piece", Opened, FW_CMD_READ, kBase + 1024, 1024, kBuf, 0, kReadFail, kBase + 1023, nullptr, FW_OK, true, Same},
    {"read with a bad checksum", Opened, FW_CMD_READ, kBase, 1024, kBuf, 0, kBadSum, kBase + 8, nullptr, FW_OK, true, Same},
    {"write", Opened, FW_CMD_WRITE, kBase + 0x800, 1024, kBuf, 0, nullptr, 0, nullptr, FW_OK, true, Anded},
    {"write of 2048 bytes", Opened, FW_CMD_WRITE, kBase, 2048, kBuf, 0, nullptr, 0, nullptr, FW_BAD_LENGTH, true, Same},
    {"write below the ROM", Opened, FW_CMD_WRITE, kBase - 1024, 1024, kBuf, 0, nullptr, 0, nullptr, FW_BAD_ADDRESS, true, Same},
    {"write from buffer 0", Opened, FW_CMD_WRITE, kBase, 1024, 0, 0, nullptr, 0, nullptr, FW_BAD_BUFFER, true, Same},
    {"write, checksum off by one", Opened, FW_CMD_WRITE, kBase, 1024, kBuf, 1, nullptr, 0, nullptr, FW_BAD_CHECKSUM, true, Same},
    {"write that fails", Opened, FW_CMD_WRITE, kBase, 1024, kBuf, 0, kWriteFail, kBase + 1023, nullptr, FW_DEVICE_ERROR, true, Same},
    {"write past a failing piece", Opened, FW_CMD_WRITE, kBase, 1024, kBuf, 0, kWriteFail, kBase + 1024, nullptr, FW_OK, true, Anded},
    {"write storing a wrong byte", Opened, FW_CMD_WRITE, kBase, 1024, kBuf, 0, kCorrupt, kBase + 5, nullptr, FW_OK, true, AndedBadByte},
    {"write storing a wrong last byte", Opened, FW_CMD_WRITE, kBase, 1024, kBuf, 0, kCorrupt, kBase + 1023, nullptr, FW_OK, true, AndedBadByte},
    {"erase of a table block", Opened, FW_CMD_ERASE, kBase + 0x8000, 0x8000, 0, 0, nullptr, 0, nullptr, FW_OK, true, Erased},
    {"erase of a block smaller than a piece", Opened, FW_CMD_ERASE, kBase + 0xFC00, 0x400, 0, 0, nullptr, 0, nullptr, FW_OK, true, Erased},
    {"erase of a part of a block", Opened, FW_CMD_ERASE, kBase, 0x1000, 0, 0, nullptr, 0, nullptr, FW_BAD_LENGTH, true, Same},
    {"erase of a block's length elsewhere", Opened, FW_CMD_ERASE, kBase + 0x4000, 0x8000, 0, 0, nullptr, 0, nullptr, FW_BAD_LENGTH, true, Same},
    {"erase below the ROM", Opened, FW_CMD_ERASE, kBase - 0x8000, 0x8000, 0, 0, nullptr, 0, nullptr, FW_BAD_ADDRESS, true, Same},
    {"erase of length 0", Opened, FW_CMD_ERASE, kBase, 0, 0, 0, nullptr, 0, nullptr, FW_BAD_ADDRESS, true, Same},
    {"erase that fails", Opened, FW_CMD_ERASE, kBase, 0x8000, 0, 0, kEraseFail, kBase + 0x7FFF, nullptr, FW_DEVICE_ERROR, true, Same},
    {"erase past a failing block", Opened, FW_CMD_ERASE, kBase + 0x8000, 0x8000, 0, 0, kEraseFail, kBase + 0x7FFF, nullptr, FW_OK, true, Erased},
    // The SMI port is shared: other command bytes are someone else's.
    {"command 0x25", Opened, 0x25, kBase, 1024, kBuf, 0, nullptr, 0, nullptr, FW_NOT_MINE, true, Same},
    {"command 0x1F", Closed, 0x1F, kBase, 1024, kBuf, 0, nullptr, 0, nullptr, FW_NOT_MINE, false, Same},
    {"command 0x00", Opened, 0x00, kBase, 1024, kBuf, 0, nullptr, 0, nullptr, FW_NOT_MINE, true, Same},
};

TEST(FlashCore, CommandsAnswerTheirStatusAndLeaveTheChipAsNorFlash)
{
    for (Host host : {kRamChip, kImageFile}) {
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(host == kRamChip ? "RAM chip: " : "image file: ") + c.name);
            Rig r(host);
            if (c.fault) {
                (r.faults.flash.*c.fault).count = 1;
                (r.faults.flash.*c.fault).addr[0] = c.fault_at;
            }
            if (c.answer)
                r.faults.flash.*c.answer = c.fault_at;
            if (c.before != Closed) {
                ASSERT_EQ(r.cmd(FW_CMD_OPEN), FW_OK);
            }
            if (c.before == OpenedAndClosed) {
                ASSERT_EQ(r.cmd(FW_CMD_CLOSE), FW_OK);
            }
            if (c.chip == AndedBadByte)  // as the programming pass leaves it
                std::fill(r.chip.begin(), r.chip.end(), 0xFF);
            std::vector<uint8_t> before = r.chip;
            r.put(FW_PARAM_BUFFER, c.buffer);
            r.put(FW_PARAM_ADDRESS, c.address);
            r.put(FW_PARAM_LENGTH, c.length);
            r.put(FW_PARAM_CHECKSUM, fw_word_checksum(r.mem.data() + kBuf, FW_PIECE) + uint32_t(c.checksum_delta));
            r.param[FW_PARAM_STATUS] = 0x5A;  // left over from an earlier command
            std::vector<uint8_t> mem_before = r.mem;
            EXPECT_EQ(r.cmd(c.command), c.status);
            EXPECT_EQ(r.param[FW_PARAM_STATUS], c.status == FW_NOT_MINE ? 0x5A : c.status);
            EXPECT_EQ(r.core().open, int(c.open_after));

            std::vector<uint8_t> want = before;
            uint32_t off = c.address - kBase;
            for (uint32_t i = 0; c.chip == Erased && i < c.length; ++i)
                want[off + i] = 0xFF;
            for (uint32_t i = 0; c.chip >= Anded && i < FW_PIECE; ++i)
                want[off + i] &= r.mem[kBuf + i];
            if (c.chip == AndedBadByte) {
                uint32_t at = c.fault_at - kBase;
                EXPECT_EQ(r.chip[at] ^ want[at], 0x01);
                want[at] = r.chip[at];
            }
            EXPECT_EQ(r.chip, want);
            if (c.command == FW_CMD_READ && c.status == FW_OK) {
                EXPECT_EQ(0, std::memcmp(r.mem.data() + kBuf, r.chip.data() + off, FW_PIECE));
                uint32_t sum = fw_word_checksum(r.mem.data() + kBuf, FW_PIECE);
                EXPECT_EQ(r.get(FW_PARAM_CHECKSUM), c.fault == kBadSum ? sum ^ 0x00010001 : sum);
            } else {  // nothing else in memory changes
                mem_before[kParam + FW_PARAM_STATUS] = r.param[FW_PARAM_STATUS];
                EXPECT_EQ(r.mem, mem_before);
            }
        }
    }
}

// The numbers zorvpc(1) documents and traces show, and that a BIOS's callers rely on.
TEST(FlashCore, StatusValuesAreTheDocumentedOnes)
{
    const int documented[][2] = {{FW_OK, 0},          {FW_REFUSED, 1},   {FW_BAD_ADDRESS, 3},
                                 {FW_BAD_LENGTH, 4},  {FW_BAD_CHECKSUM, 5}, {FW_BAD_BUFFER, 6},
                                 {FW_DEVICE_ERROR, 7}, {FW_NOT_OPEN, 8}};
    for (const auto& d : documented)
        EXPECT_EQ(d[0], d[1]);
}

TEST(FlashCore, WordChecksumOfLittleEndianWords)
{
    std::vector<uint8_t> b(FW_PIECE, 0);
    EXPECT_EQ(fw_word_checksum(b.data(), FW_PIECE), 0xFFFFFFFFu);
    b[0] = b[1] = b[2] = b[3] = 0xFF;  // words sum to 0xFFFFFFFF: checksum 0
    EXPECT_EQ(fw_word_checksum(b.data(), FW_PIECE), 0u);
    b[4] = 2;  // wraps around: sum 1
    EXPECT_EQ(fw_word_checksum(b.data(), FW_PIECE), 0xFFFFFFFEu);
    std::vector<uint8_t> c = {1, 0, 0, 0, 0, 0, 0, 0x80};  // 1 + 0x80000000, not 0x01000000 + 0x80
    EXPECT_EQ(fw_word_checksum(c.data(), 8), ~0x80000001u);
}

// The virtual PC alone loses power at the N-th write: before that write lands,
// with the status byte untouched; reads, erases and writes before open do not count.
TEST(VpcFlashHandler, PowerLossStopsBeforeTheNthWrite)
{
    Rig r(kImageFile);
    r.faults.power_loss = 3;
    r.put(FW_PARAM_BUFFER, kBuf);
    r.put(FW_PARAM_LENGTH, FW_PIECE);
    r.put(FW_PARAM_CHECKSUM, fw_word_checksum(r.mem.data() + kBuf, FW_PIECE));
    std::fill(r.chip.begin(), r.chip.end(), 0xFF);
    auto write = [&](uint32_t at) {
        r.put(FW_PARAM_ADDRESS, at);
        return flash_smi(&r.vpc, FW_CMD_WRITE);
    };
    EXPECT_EQ(write(kBase).status, FW_NOT_OPEN);
    ASSERT_EQ(r.cmd(FW_CMD_OPEN), FW_OK);
    EXPECT_EQ(write(kBase).status, FW_OK);
    EXPECT_EQ(r.cmd(FW_CMD_READ), FW_OK);
    r.put(FW_PARAM_LENGTH, 0x8000);
    EXPECT_EQ(r.cmd(FW_CMD_ERASE), FW_OK);
    r.put(FW_PARAM_LENGTH, FW_PIECE);
    EXPECT_EQ(write(kBase + 0x400).status, FW_OK);
    r.param[FW_PARAM_STATUS] = 0x77;
    SmiResult res = write(kBase + 0x800);
    EXPECT_TRUE(res.power_loss);
    EXPECT_EQ(r.param[FW_PARAM_STATUS], 0x77);
    EXPECT_EQ(r.chip[0x800], 0xFF);  // the write never landed
    EXPECT_EQ(r.chip[0x400], r.mem[kBuf]);
}

} // namespace
