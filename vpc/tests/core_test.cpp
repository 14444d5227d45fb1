// Small pieces of the virtual PC: instruction decoding, numbers, faults, trace text.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "decode.h"
#include "devices.h"
#include "faults.h"
#include "linebuf.h"
#include "numparse.h"

namespace {

TEST(DecodePortInsn, TheFourByteForms)
{
    struct Case {
        uint8_t code[2];
        bool ok, is_out, dx;
        uint8_t imm;
        int len;
    } cases[] = {
        {{0xEC, 0x90}, true, false, true, 0, 1},
        {{0xEE, 0x90}, true, true, true, 0, 1},
        {{0xE4, 0x71}, true, false, false, 0x71, 2},
        {{0xE6, 0x70}, true, true, false, 0x70, 2},
        {{0xE6, 0xB2}, true, true, false, 0xB2, 2},
        {{0xED, 0x00}, false, false, false, 0, 0},  // in eax,dx: not a byte access
        {{0x0F, 0x0B}, false, false, false, 0, 0},  // ud2
        {{0xC7, 0x00}, false, false, false, 0, 0},
    };
    for (const Case& c : cases) {
        PortInsn p{};
        ASSERT_EQ(decode_port_insn(c.code, &p), c.ok) << std::hex << int(c.code[0]);
        if (!c.ok)
            continue;
        EXPECT_EQ(p.is_out, c.is_out);
        EXPECT_EQ(p.uses_dx, c.dx);
        EXPECT_EQ(p.length, c.len);
        if (!c.dx) {
            EXPECT_EQ(p.imm, c.imm);
        }
    }
}

TEST(ParseNumber, FormsAndRejects)
{
    struct Case {
        const char* text;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"0", true, 0},       {"42", true, 42},          {"0x1f", true, 31},  {"0XFF", true, 255},
        {"64K", true, 65536}, {"2M", true, 2097152},     {"010", true, 10},   {"", false, 0},
        {"0x", false, 0},     {"12abc", false, 0},       {"-1", false, 0},    {"1KK", false, 0},
        {"0x1_0", false, 0},  {"99999999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        uint64_t v = 7;
        EXPECT_EQ(parse_number(c.text, &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    uint32_t u;
    EXPECT_FALSE(parse_u32("0x100000000", &u));
    EXPECT_TRUE(parse_u32("0xffffffff", &u));
}

TEST(Faults, ApplyAndReject)
{
    FaultSet f;
    faults_clear(&f);
    char err[96];
    const char* good[] = {"iopl_fail",       "no_devmem=1",     "unmap_fail=bios",  "unmap_fail=info",
                          "insmod_fail=first", "open_status=2", "close_status=255", "read_fail=0x80000",
                          "read_fail=0x90000", "power_loss=5",  "signature_at=65521", "map_fail=info",
                          "unmap_fail=node", "fsync_fail", "file_read_fail=a:b.rom:0x400",
                          "file_close_fail=b.rom", "file_rewrite=c.rom:18:d.rom", "signal_at=erase:3:2",
                          "signal_file=new.rom:write:7:15", "swap_at_check=zorfldrv_mod", "nodev"};
    for (const char* g : good)
        EXPECT_TRUE(fault_apply(&f, g, err, sizeof err)) << g;
    EXPECT_EQ(f.signal_command, 0x22);
    EXPECT_EQ(f.signal_at, 3u);
    EXPECT_EQ(f.signal_number, 2u);
    EXPECT_STREQ(f.signal_file, "new.rom");
    EXPECT_TRUE(f.signal_file_write);
    EXPECT_EQ(f.signal_file_at, 7u);
    EXPECT_EQ(f.signal_file_number, 15u);
    EXPECT_STREQ(f.swap_at_check, "zorfldrv_mod");
    EXPECT_TRUE(f.nodev);
    EXPECT_TRUE(fault_apply(&f, "signal_at=5:3", err, sizeof err));  // a bare count: write commands
    EXPECT_EQ(f.signal_command, 0x23);
    EXPECT_EQ(f.power_loss_command, 0x23);  // power_loss=5: the fifth write
    EXPECT_TRUE(fault_apply(&f, "power_loss=read:7", err, sizeof err));
    EXPECT_EQ(f.power_loss_command, 0x21);
    EXPECT_EQ(f.power_loss, 7u);
    EXPECT_TRUE(f.iopl_fail && f.no_devmem);
    EXPECT_EQ(f.unmap_fail, uint32_t(kWindowBios | kWindowInfo | kWindowNode));
    EXPECT_TRUE(f.fsync_fail);
    EXPECT_STREQ(f.file_read_fail, "a:b.rom");
    EXPECT_EQ(f.file_read_at, 0x400u);
    EXPECT_STREQ(f.file_close_fail, "b.rom");
    EXPECT_EQ(f.file_change, kFileRewrite);
    EXPECT_STREQ(f.file_change_name, "c.rom");
    EXPECT_EQ(f.file_change_at, 18u);
    EXPECT_STREQ(f.file_change_other, "d.rom");
    EXPECT_EQ(f.insmod_fail, kInsmodFirst);
    EXPECT_EQ(f.flash.open_status, 2u);
    EXPECT_EQ(f.flash.close_status, 255u);
    EXPECT_EQ(f.flash.read_fail.count, 2u);
    EXPECT_EQ(f.flash.read_fail.addr[1], 0x90000u);
    EXPECT_EQ(f.signature_at, 65521);
    EXPECT_TRUE(fault_apply(&f, "iopl_fail=0", err, sizeof err));
    EXPECT_FALSE(f.iopl_fail);
    const char* bad[] = {"nonsense", "open_status=256", "open_status", "read_fail", "read_fail=zz",
                         "unmap_fail=heap", "insmod_fail=third", "power_loss=0", "power_loss=seek:3", "iopl_fail=2", "=1",
                         "signature_at=70000", "map_fail=node",
                         "file_read_fail=x.rom", "file_read_fail=:5", "file_read_fail=d/x.rom:5",
                         "file_close_fail", "file_close_fail=d/x.rom", "file_swap=x.rom:1",
                         "file_swap=x.rom:z:y.rom", "file_swap=:1:y.rom", "file_swap=x.rom:1:d/y.rom",
                         "file_rewrite=x.rom:1:", "signal_at=erase:0:2", "signal_at=seek:1:2",
                         "signal_at=1:9", "signal_at=1:65", "signal_file=x.rom:read:1", "signal_file=x.rom:peek:1:2",
                         "signal_file=:read:1:2", "swap_at_check=d/x", "swap_at_check"};
    for (const char* b : bad)
        EXPECT_FALSE(fault_apply(&f, b, err, sizeof err)) << b;
}

TEST(LineBuf, Formats)
{
    LineBuf b;
    lb_init(&b);
    lb_hex(&b, 0x180000, 8);
    lb_str(&b, " ");
    lb_hex(&b, 0x2e, 2);
    lb_str(&b, " ");
    lb_hex(&b, 0x1234, 2);
    lb_str(&b, " ");
    lb_dec(&b, -1);
    lb_str(&b, " ");
    lb_dec(&b, 65536);
    lb_str(&b, " ");
    lb_errno(&b, EEXIST);
    lb_str(&b, " ");
    lb_errno(&b, 9999);
    EXPECT_STREQ(b.text, "0x00180000 0x2e 0x1234 -1 65536 EEXIST E9999");
    lb_init(&b);
    for (int i = 0; i < 100; ++i)
        lb_str(&b, "0123456789");
    EXPECT_LT(b.len, int(sizeof b.text) - 1);  // room for the newline
}

TEST(DeviceList, ListsTheModuleOnlyWhenAsked)
{
    std::string with = device_list(true, 254), without = device_list(false, 254);
    EXPECT_NE(with.find("\n254 zorfldrv\n"), std::string::npos);
    EXPECT_EQ(without.find("zorfldrv"), std::string::npos);
    EXPECT_EQ(with.rfind("Character devices:\n", 0), 0u);
    EXPECT_NE(with.find("\nBlock devices:\n"), std::string::npos);
    EXPECT_LT(with.find("zorfldrv"), with.find("Block devices"));
    EXPECT_NE(device_list(true, 42).find("\n 42 zorfldrv\n"), std::string::npos);  // "%3d zorfldrv"
    ModuleState s{};
    ASSERT_TRUE(parse_module_state(module_state_text({true, 200}), &s));
    EXPECT_TRUE(s.loaded);
    EXPECT_EQ(s.major, 200u);
    EXPECT_FALSE(parse_module_state("loaded 1\n", &s));
}

} // namespace
