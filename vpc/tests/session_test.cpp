// A whole tool-like session on the default machine: the calls in the
// contract's order, what they return, and the trace they leave.
#include "harness.h"

#include <cstring>

#include "le.h"

namespace {

// The calls in the order the tool makes them for a run that reads the ROM ID.
const std::vector<std::string> kSession = {
    "iopl=3", "devices", "system=insmod ./zorfldrv_mod.o 2> /dev/null > /dev/null",
    "system=insmod zorfldrv_mod 2> /dev/null > /dev/null", "devices", "mknod=254,0x21b6", "open", "fstat",
    "memopen", "map=0xf0000,0xffff", "findhdr", "smi=0x20", "alloc=1024", "nmap=1024", "setbuf=0x180000",
    "map=0xe0000,0xffff", "smi=0x21,0xffc00,1024", "npeek=992,8", "glibc-cmos=0x2e", "smi=0x24", "nunmap",
    "free=1024", "unmap=0", "unmap=1", "memclose", "close", "remove", "system=rmmod zorfldrv_mod", "iopl=0"};

TEST_F(VpcTest, SessionTraceHasEveryCallInOrder)
{
    init();
    write_all(work() + "/zorfldrv_mod", "module object");  // what the second load command names
    RunResult r = probe(kSession);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("npeek 5a 58 35 31 32 41 30 31\n"), std::string::npos) << r.out;  // "ZX512A01"
    EXPECT_NE(r.out.find("alloc 0 0 phys=0x00180000 rest=aaaaaaaa,bbbbbbbb,cccccccc,dddddddd"), std::string::npos);
    uint8_t cmos2e = uint8_t(file("cmos.bin")[0x2e]);
    char in_line[32];
    std::snprintf(in_line, sizeof in_line, "in 0x71 0x%02x", cmos2e);
    std::vector<std::string> want = {
        "iopl 3 = 0",
        "fopen /proc/devices = ok",
        "system insmod ./zorfldrv_mod.o = 1",
        "module loaded from \"module object\"",
        "system insmod zorfldrv_mod = 0",
        "fopen /proc/devices = ok",
        "mknod zorfl 0x21b6 254:0 = 0",
        "open zorfl = ok",
        "fstat zorfl = chr 254:0",
        "fopen /dev/mem = ok",
        "mmap mem 0x000f0000 0xffff = ok",
        "smi 0x20 status=0",
        "ioctl 0x4160 size=1024 = 0 phys=0x00180000",
        "mmap node 0x400 = ok",
        "mmap mem 0x000e0000 0xffff = ok",
        "smi 0x21 addr=0x000ffc00 len=1024 status=0",
        "out 0x70 0x2e",
        in_line,
        "smi 0x24 status=0",
        "munmap node 0x400 = 0",
        "ioctl 0x4161 size=1024 = 0",
        "munmap mem 0x000f0000 0xffff = 0",
        "munmap mem 0x000e0000 0xffff = 0",
        "fclose /dev/mem = 0",
        "close zorfl = 0",
        "remove zorfl = 0",
        "system rmmod zorfldrv_mod = 0",
        "iopl 0 = 0",
    };
    EXPECT_EQ(trace(), want);
    EXPECT_EQ(file("module"), "loaded = 0\nmajor = 254\n");
}

TEST_F(VpcTest, SecondRunFindsTheStateTheFirstLeft)
{
    init("module_major=200");
    write_all(work() + "/zorfldrv_mod.o", "module object");
    RunResult r = probe({"iopl=3", "system=insmod ./zorfldrv_mod.o 2> /dev/null > /dev/null", "devices",
                         "mknod=200"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("devices 200 zorfldrv\n"), std::string::npos) << r.out;
    EXPECT_EQ(file("module"), "loaded = 1\nmajor = 200\n");
    // The next run: module still loaded, node still there and opening.
    r = probe({"open", "fstat", "close", "system=rmmod zorfldrv_mod", "system=rmmod zorfldrv_mod"});
    EXPECT_EQ(r.out, "open ok\nfstat chr 200:0 600\nclose 0\nsystem 0\nsystem 1\n");
    EXPECT_NE(r.err.find("rmmod: ERROR: Module zorfldrv_mod is not currently loaded"), std::string::npos);
}

TEST_F(VpcTest, SmiOverThePortsWorksOnTheFlashImage)
{
    init();
    write_all(work() + "/zorfldrv_mod", "module object");
    std::string before = file("flash.bin");
    const std::vector<std::string> setup = {"iopl=3", "memopen", "map=0xf0000,0xffff", "findhdr", "mknod=254",
                                            "system=insmod zorfldrv_mod", "open", "alloc=1024", "nmap=1024",
                                            "setbuf=0x180000", "smi=0x20"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> all = setup;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    RunResult r = probe(with({"smi=0x21,0x80000,1024", "smi=0x22,0x90000,65536", "nfill=0x5a",
                              "smi=0x23,0x90400,1024", "smi=0x23,0x90800,1024,0x12345678", "smi=0x99",
                              "smi=0x21,0x7fc00,1024", "smi=0x24"}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(lines_with(r.out, "smi "),
              (std::vector<std::string>{"smi 0x20 status=0 sumok=0", "smi 0x21 status=0 sumok=1",
                                        "smi 0x22 status=0 sumok=1", "smi 0x23 status=0 sumok=1",
                                        "smi 0x23 status=5 sumok=0", "smi 0x99 status=5 sumok=0",
                                        "smi 0x21 status=3 sumok=0", "smi 0x24 status=0 sumok=0"}));
    std::string after = file("flash.bin");
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.substr(0x10000, 0x400), std::string(0x400, '\xff'));       // erased
    EXPECT_EQ(after.substr(0x10400, 0x400), std::string(0x400, '\x5a'));       // written
    EXPECT_EQ(after.substr(0x10800, 0x400), std::string(0x400, '\xff'));       // refused
    EXPECT_EQ(after.substr(0, 0x10000), before.substr(0, 0x10000));           // nothing else
    EXPECT_EQ(after.substr(0x20000), before.substr(0x20000));
    EXPECT_EQ(lines_with(file("trace"), "smi 0x22"),
              (std::vector<std::string>{"smi 0x22 addr=0x00090000 len=65536 status=0"}));
    // Another user's command byte on the shared port: left alone, status and all.
    EXPECT_EQ(lines_with(file("trace"), "smi 0x99"), (std::vector<std::string>{"smi 0x99 ignored"}));
}

struct FaultCase {
    const char* fault;
    std::vector<std::string> actions;
    std::vector<std::string> want;  // probe output lines starting with "smi" or "memopen"/"map"
    std::string err;                // what the launcher says the fault did
};

TEST_F(VpcTest, FlashFaultsOverThePorts)
{
    const std::vector<std::string> pre = {"iopl=3", "memopen", "map=0xf0000,0xffff", "findhdr", "mknod=254",
                                          "system=insmod zorfldrv_mod", "open", "alloc=1024", "nmap=1024",
                                          "setbuf=0x180000"};
    const std::string z = "zorvpc: fault ";
    const FaultCase cases[] = {
        {"open_status=1", {"smi=0x20", "smi=0x21,0x80000,1024"}, {"smi 0x20 status=1 sumok=0", "smi 0x21 status=8 sumok=0"}, ""},
        {"open_status=2", {"smi=0x20", "smi=0x21,0x80000,1024"}, {"smi 0x20 status=2 sumok=0", "smi 0x21 status=0 sumok=1"}, ""},
        {"close_status=3", {"smi=0x20", "smi=0x24"}, {"smi 0x20 status=0 sumok=0", "smi 0x24 status=3 sumok=0"}, ""},
        {"read_fail=0x80400", {"smi=0x20", "smi=0x21,0x80000,1024", "smi=0x21,0x80400,1024"},
         {"smi 0x20 status=0 sumok=0", "smi 0x21 status=0 sumok=1", "smi 0x21 status=7 sumok=1"},
         z + "read_fail: SMI read at 0x00080400 (1024 bytes) answered status 7, nothing read\n"},
        {"read_badsum=0xffc00", {"smi=0x20", "smi=0x21,0xffc00,1024"}, {"smi 0x20 status=0 sumok=0", "smi 0x21 status=0 sumok=0"},
         z + "read_badsum: SMI read at 0x000ffc00 (1024 bytes) answered 0 with a wrong checksum\n"},
        {"erase_fail=0x90000", {"smi=0x20", "smi=0x22,0x90000,65536", "smi=0x22,0x80000,65536"},
         {"smi 0x20 status=0 sumok=0", "smi 0x22 status=7 sumok=0", "smi 0x22 status=0 sumok=0"},
         z + "erase_fail: SMI erase at 0x00090000 (65536 bytes) answered status 7, nothing erased\n"},
        {"write_fail=0x80000", {"smi=0x20", "smi=0x23,0x80000,1024"}, {"smi 0x20 status=0 sumok=0", "smi 0x23 status=7 sumok=1"},
         z + "write_fail: SMI write at 0x00080000 (1024 bytes) answered status 7, nothing written\n"},
        // Before the open the handler refuses the write (status 8): the fault has not struck.
        {"write_corrupt=0x80010", {"smi=0x23,0x80000,1024", "smi=0x20", "smi=0x23,0x80000,1024"},
         {"smi 0x23 status=8 sumok=1", "smi 0x20 status=0 sumok=1", "smi 0x23 status=0 sumok=1"},
         z + "write_corrupt: SMI write at 0x00080000 (1024 bytes) answered 0 but stored a byte with bit 0 wrong\n"},
        // Signals the probe ignores (SIGCHLD, SIGWINCH): it goes on, and the launcher tells.
        {"signal_at=read:2:17", {"smi=0x20", "smi=0x21,0x80000,1024", "smi=0x21,0x80400,1024"},
         {"smi 0x20 status=0 sumok=0", "smi 0x21 status=0 sumok=1", "smi 0x21 status=0 sumok=1"},
         z + "signal_at: signal 17 (SIGCHLD) sent after SMI read 2\n"},
        {"signal_call=iopl:1:28", {}, {}, z + "signal_call: signal 28 (SIGWINCH) sent after call 1 of iopl\n"},
    };
    write_all(work() + "/zorfldrv_mod", "module object");
    for (const FaultCase& c : cases) {
        init();
        std::vector<std::string> all = pre;
        all.insert(all.end(), c.actions.begin(), c.actions.end());
        RunResult r = probe(all, std::string("--fault ") + c.fault);
        EXPECT_EQ(r.code, 0) << c.fault << r.err;
        EXPECT_EQ(lines_with(r.out, "smi "), c.want) << c.fault;
        EXPECT_EQ(r.err, c.err) << c.fault;
    }
    // The note of each run is its own, and none is left in the machine's directory.
    EXPECT_EQ(sh("ls " + q(st()) + " | grep -c fired").out, "0\n");
}

TEST_F(VpcTest, WriteCorruptMakesTheFlashDifferFromTheData)
{
    init();
    write_all(work() + "/zorfldrv_mod", "module object");
    RunResult r = probe({"iopl=3", "memopen", "map=0xf0000,0xffff", "findhdr", "mknod=254",
                         "system=insmod zorfldrv_mod", "open", "alloc=1024", "nmap=1024", "setbuf=0x180000",
                         "smi=0x20", "smi=0x22,0x80000,65536", "nfill=0x42", "smi=0x23,0x80000,1024",
                         "smi=0x23,0x80400,1024"},
                        "--fault write_corrupt=0x80400");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(lines_with(r.out, "smi 0x23"),
              (std::vector<std::string>{"smi 0x23 status=0 sumok=1", "smi 0x23 status=0 sumok=1"}));
    std::string flash = file("flash.bin");
    EXPECT_EQ(flash.substr(0, 0x400), std::string(0x400, '\x42'));
    EXPECT_NE(flash.substr(0x400, 0x400), std::string(0x400, '\x42'));
}

} // namespace
