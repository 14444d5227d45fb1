// The emulated firmware flash handler, driven directly over memory buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "flash_handler.h"
#include "le.h"

namespace {

constexpr uint32_t kParam = 0xF5A50;
constexpr uint32_t kBuf = 0x180000;
constexpr uint32_t kBase = 0x80000;

struct Rig {
    std::vector<uint8_t> phys = std::vector<uint8_t>(kPhysMemSize, 0);
    std::vector<uint8_t> flash = std::vector<uint8_t>(0x80000, 0xFF);
    std::vector<BlockEntry> blocks = {{0x80000, 0x10000}, {0x90000, 0x10000}, {0xF0000, 0x8000}, {0xF8000, 0x8000},
                                      {0xE0000, 0x400}};
    FaultSet faults;
    FlashHandler h;

    Rig()
    {
        faults_clear(&faults);
        h = FlashHandler{phys.data(), kPhysMemSize, flash.data(), uint32_t(flash.size()), kBase, kParam,
                         blocks.data(), uint32_t(blocks.size()), &faults, false, 0};
        put_le32(param(), kBuf);
    }
    uint8_t* param() { return phys.data() + kParam; }
    uint8_t* buf() { return phys.data() + kBuf; }
    uint8_t status() { return param()[16]; }
    SmiResult cmd(uint8_t c, uint32_t addr = 0, uint32_t len = 0)
    {
        put_le32(param() + 4, addr);
        put_le32(param() + 8, len);
        return flash_smi(&h, c);
    }
    // Writes 1024 bytes of value v at addr with a correct checksum.
    uint8_t write(uint32_t addr, uint8_t v)
    {
        std::memset(buf(), v, 1024);
        put_le32(param() + 12, word_checksum(buf(), 1024));
        return cmd(kSmiWrite, addr, 1024).status;
    }
    uint8_t* at(uint32_t addr) { return flash.data() + (addr - kBase); }
};

TEST(WordChecksum, KnownValues)
{
    std::vector<uint8_t> zero(1024, 0);
    EXPECT_EQ(word_checksum(zero.data(), 1024), 0xFFFFFFFFu);
    std::vector<uint8_t> b(1024, 0);
    put_le32(b.data(), 0xFFFFFFFF);  // words sum to 0xFFFFFFFF: checksum 0
    EXPECT_EQ(word_checksum(b.data(), 1024), 0u);
    put_le32(b.data() + 4, 2);  // wrap-around: sum 1
    EXPECT_EQ(word_checksum(b.data(), 1024), 0xFFFFFFFEu);
    // little-endian words: 01 00 00 00 is 1, not 0x01000000
    std::vector<uint8_t> c(8, 0);
    c[0] = 1;
    EXPECT_EQ(word_checksum(c.data(), 8), ~1u);
}

TEST(FlashHandler, CommandsNeedAnOpenInterface)
{
    Rig r;
    EXPECT_EQ(r.cmd(kSmiRead, 0x80000, 1024).status, kStatusNotOpen);
    EXPECT_EQ(r.cmd(kSmiErase, 0x80000, 0x10000).status, kStatusNotOpen);
    EXPECT_EQ(r.write(0x80000, 0), kStatusNotOpen);
    EXPECT_EQ(r.cmd(kSmiClose).status, kStatusNotOpen);
    EXPECT_EQ(r.at(0x80000)[0], 0xFF);
    EXPECT_EQ(r.cmd(kSmiOpen).status, kStatusOk);
    EXPECT_EQ(r.cmd(kSmiClose).status, kStatusOk);
    EXPECT_EQ(r.cmd(kSmiRead, 0x80000, 1024).status, kStatusNotOpen);
}

TEST(FlashHandler, ReadCopiesThePieceAndSetsItsChecksum)
{
    Rig r;
    for (uint32_t i = 0; i < 1024; ++i)
        r.at(0x90400)[i] = uint8_t(i * 7);
    r.cmd(kSmiOpen);
    SmiResult res = r.cmd(kSmiRead, 0x90400, 1024);
    EXPECT_EQ(res.status, 0);
    EXPECT_TRUE(res.has_range);
    EXPECT_EQ(res.address, 0x90400u);
    EXPECT_EQ(std::memcmp(r.buf(), r.at(0x90400), 1024), 0);
    EXPECT_EQ(get_le32(r.param() + 12), word_checksum(r.buf(), 1024));
    // A zero piece reads with checksum 0xFFFFFFFF.
    std::memset(r.at(0x80000), 0, 1024);
    r.cmd(kSmiRead, 0x80000, 1024);
    EXPECT_EQ(get_le32(r.param() + 12), 0xFFFFFFFFu);
}

TEST(FlashHandler, WriteOnlyClearsBits)
{
    Rig r;
    r.cmd(kSmiOpen);
    EXPECT_EQ(r.write(0x80000, 0xF0), 0);
    EXPECT_EQ(r.at(0x80000)[0], 0xF0);
    EXPECT_EQ(r.write(0x80000, 0x3C), 0);  // NOR: F0 & 3C
    EXPECT_EQ(r.at(0x80000)[1023], 0x30);
    EXPECT_EQ(r.at(0x80400)[0], 0xFF);  // next piece untouched
    EXPECT_EQ(r.cmd(kSmiErase, 0x80000, 0x10000).status, 0);
    EXPECT_EQ(r.at(0x80000)[0], 0xFF);
    EXPECT_EQ(r.write(0x80000, 0x3C), 0);
    EXPECT_EQ(r.at(0x80000)[0], 0x3C);
}

TEST(FlashHandler, EraseSetsExactlyTheBlockToFF)
{
    Rig r;
    std::memset(r.flash.data(), 0, r.flash.size());
    r.cmd(kSmiOpen);
    EXPECT_EQ(r.cmd(kSmiErase, 0x90000, 0x10000).status, 0);
    EXPECT_EQ(r.at(0x8FFFF)[0], 0x00);
    EXPECT_EQ(r.at(0x90000)[0], 0xFF);
    EXPECT_EQ(r.at(0x9FFFF)[0], 0xFF);
    EXPECT_EQ(r.at(0xA0000)[0], 0x00);
    // A block smaller than a piece is still a block.
    EXPECT_EQ(r.cmd(kSmiErase, 0xE0000, 0x400).status, 0);
}

TEST(FlashHandler, WriteWithAWrongChecksumIsRefused)
{
    Rig r;
    r.cmd(kSmiOpen);
    std::memset(r.buf(), 0x00, 1024);
    put_le32(r.param() + 12, word_checksum(r.buf(), 1024) + 1);
    EXPECT_EQ(r.cmd(kSmiWrite, 0x80000, 1024).status, kStatusBadChecksum);
    EXPECT_EQ(r.at(0x80000)[0], 0xFF);
}

struct BadRange {
    uint8_t command;
    uint32_t addr, len;
    uint8_t status;
};

TEST(FlashHandler, RangesOutsideTheFlashOrTableFail)
{
    const BadRange cases[] = {
        {kSmiRead, 0x7FC00, 1024, kStatusBadAddress},     // below RomBase
        {kSmiRead, 0xFFE00, 1024, kStatusBadAddress},     // runs past the end
        {kSmiRead, 0x100000, 1024, kStatusBadAddress},
        {kSmiRead, 0x80000, 512, kStatusBadLength},
        {kSmiWrite, 0x7FC00, 1024, kStatusBadAddress},
        {kSmiWrite, 0x80000, 2048, kStatusBadLength},
        {kSmiErase, 0x70000, 0x10000, kStatusBadAddress},
        {kSmiErase, 0x80000, 0x8000, kStatusBadLength},   // not a table block
        {kSmiErase, 0x84000, 0x10000, kStatusBadLength},
        {0x25, 0, 0, kStatusBadCommand},
        {0x00, 0, 0, kStatusBadCommand},
    };
    for (const BadRange& c : cases) {
        Rig r;
        r.cmd(kSmiOpen);
        std::memset(r.buf(), 0, 1024);
        put_le32(r.param() + 12, word_checksum(r.buf(), 1024));
        EXPECT_EQ(r.cmd(c.command, c.addr, c.len).status, c.status)
            << "command " << int(c.command) << " at " << std::hex << c.addr;
        EXPECT_EQ(r.at(0x80000)[0], 0xFF);
    }
}

TEST(FlashHandler, BufferAddressMustBeInMemory)
{
    for (uint32_t b : {0u, kPhysMemSize - 512, 0xFFFFFFF0u}) {
        Rig r;
        r.cmd(kSmiOpen);
        put_le32(r.param(), b);
        EXPECT_EQ(r.cmd(kSmiRead, 0x80000, 1024).status, kStatusBadBuffer) << b;
    }
}

TEST(FlashHandler, StatusIsAlwaysRewritten)
{
    Rig r;
    r.param()[16] = 0x5A;  // left over from an earlier command
    EXPECT_EQ(r.cmd(kSmiOpen).status, 0);
    EXPECT_EQ(r.status(), 0);
    r.cmd(kSmiRead, 0x7F000, 1024);
    EXPECT_EQ(r.status(), kStatusBadAddress);
    r.cmd(kSmiRead, 0x80000, 1024);
    EXPECT_EQ(r.status(), 0);
}

TEST(FlashHandlerFaults, OpenAndCloseStatus)
{
    Rig r;
    r.faults.open_status = 1;
    EXPECT_EQ(r.cmd(kSmiOpen).status, 1);
    EXPECT_EQ(r.cmd(kSmiRead, 0x80000, 1024).status, kStatusNotOpen);  // refused: not open
    r.faults.open_status = 2;
    EXPECT_EQ(r.cmd(kSmiOpen).status, 2);
    EXPECT_EQ(r.cmd(kSmiRead, 0x80000, 1024).status, 0);  // other values open it
    r.faults.close_status = 9;
    EXPECT_EQ(r.cmd(kSmiClose).status, 9);
    EXPECT_EQ(r.cmd(kSmiRead, 0x80000, 1024).status, 0);  // still open
    r.faults.close_status = -1;
    EXPECT_EQ(r.cmd(kSmiClose).status, 0);
}

TEST(FlashHandlerFaults, AddressFaultsHitOnlyTheirPieceOrBlock)
{
    Rig r;
    char err[96];
    ASSERT_TRUE(fault_apply(&r.faults, "read_fail=0x90410", err, sizeof err));
    ASSERT_TRUE(fault_apply(&r.faults, "read_badsum=0x80800", err, sizeof err));
    ASSERT_TRUE(fault_apply(&r.faults, "erase_fail=0x98000", err, sizeof err));
    ASSERT_TRUE(fault_apply(&r.faults, "write_fail=0x80c00", err, sizeof err));
    r.cmd(kSmiOpen);
    EXPECT_EQ(r.cmd(kSmiRead, 0x90400, 1024).status, kStatusDeviceError);
    EXPECT_EQ(r.cmd(kSmiRead, 0x90800, 1024).status, 0);
    EXPECT_EQ(r.cmd(kSmiRead, 0x80800, 1024).status, 0);
    EXPECT_NE(get_le32(r.param() + 12), word_checksum(r.buf(), 1024));
    EXPECT_EQ(r.cmd(kSmiRead, 0x80400, 1024).status, 0);
    EXPECT_EQ(get_le32(r.param() + 12), word_checksum(r.buf(), 1024));
    std::memset(r.at(0x90000), 0, 0x10000);
    EXPECT_EQ(r.cmd(kSmiErase, 0x90000, 0x10000).status, kStatusDeviceError);
    EXPECT_EQ(r.at(0x90000)[0], 0x00);  // nothing erased
    EXPECT_EQ(r.cmd(kSmiErase, 0x80000, 0x10000).status, 0);
    EXPECT_EQ(r.write(0x80c00, 0x11), kStatusDeviceError);
    EXPECT_EQ(r.at(0x80c00)[0], 0xFF);  // nothing written
    EXPECT_EQ(r.write(0x80800, 0x11), 0);
}

TEST(FlashHandlerFaults, WriteCorruptStoresSomethingElse)
{
    for (uint8_t v : {0x00, 0x5A, 0xFF}) {
        Rig r;
        char err[96];
        ASSERT_TRUE(fault_apply(&r.faults, "write_corrupt=0x80400", err, sizeof err));
        r.cmd(kSmiOpen);
        EXPECT_EQ(r.write(0x80400, v), 0);
        EXPECT_NE(std::memcmp(r.at(0x80400), r.buf(), 1024), 0) << int(v);
        EXPECT_EQ(r.write(0x80000, v), 0);
        EXPECT_EQ(std::memcmp(r.at(0x80000), r.buf(), 1024), 0);
    }
}

TEST(FlashHandlerFaults, PowerLossStopsBeforeTheNthWrite)
{
    Rig r;
    r.faults.power_loss = 3;
    r.cmd(kSmiOpen);
    EXPECT_EQ(r.write(0x80000, 0x00), 0);
    r.cmd(kSmiRead, 0x80000, 1024);  // reads and erases do not count
    r.cmd(kSmiErase, 0x90000, 0x10000);
    EXPECT_EQ(r.write(0x80400, 0x00), 0);
    r.param()[16] = 0x77;
    std::memset(r.buf(), 0, 1024);
    put_le32(r.param() + 12, word_checksum(r.buf(), 1024));
    SmiResult res = r.cmd(kSmiWrite, 0x80800, 1024);
    EXPECT_TRUE(res.power_loss);
    EXPECT_EQ(r.at(0x80800)[0], 0xFF);  // the write never landed
    EXPECT_EQ(r.status(), 0x77);
    EXPECT_EQ(r.at(0x80400)[0], 0x00);
}

} // namespace
