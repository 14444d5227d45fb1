// The virtual PC as one machine: its own descriptors out of the command's way,
// duplicated descriptors followed, state shared by every process on it, and a reboot.
#include "harness.h"

namespace {

struct ClosedCase {
    const char* redirs;  // applied to the run
    int lowest;          // the lowest descriptor the command gets for its own file
};

TEST_F(VpcTest, LibraryDescriptorsStayOutOfTheCommandsWay)
{
    const ClosedCase cases[] = {
        {">&-", 1},
        {"<&- >&-", 0},
        {"<&- >&- 2>&-", 0},
    };
    init();
    // A first run so that the BIOS segment is as the run leaves it.
    ASSERT_EQ(probe({"iopl=3"}).code, 0);
    const std::string phys = file("physmem"), flash = file("flash.bin"), cmos = file("cmos.bin");
    for (const ClosedCase& c : cases) {
        SCOPED_TRACE(c.redirs);
        clear_trace();
        std::string cmd = q(ZORVPC_EXE) + " run " + q(st()) + " -- " + q(VPCPROBE_EXE);
        for (const char* a : {"iopl=3", "out70=0x2e", "in71", "lowfd", "iopl=0"})
            cmd += std::string(" ") + a;
        RunResult r = sh("{ " + cmd + " " + c.redirs + "; }");
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(read_all(work() + "/lowfd.out"), "lowfd " + std::to_string(c.lowest) + "\n");
        // What the probe printed went nowhere, least of all into the machine.
        EXPECT_TRUE(file("physmem") == phys);
        EXPECT_TRUE(file("flash.bin") == flash);
        EXPECT_TRUE(file("cmos.bin") == cmos);
        std::vector<std::string> t = trace();
        ASSERT_EQ(t.size(), 4u);
        EXPECT_EQ(t[2].rfind("in 0x71 ", 0), 0u);
        EXPECT_EQ(t[3], "iopl 0 = 0");
    }
}

TEST_F(VpcTest, DuplicatedDescriptorsAreTheSameOpenFile)
{
    const std::string alloc = "alloc 0 0 phys=0x00180000 rest=aaaaaaaa,bbbbbbbb,cccccccc,dddddddd\n";
    init("module_loaded=1");
    for (const char* way : {"dup", "dup2", "dup3", "F_DUPFD", "F_DUPFD_CLOEXEC"}) {
        SCOPED_TRACE(way);
        // The node moves to its duplicate (the original is closed); /dev/mem is mapped through one.
        RunResult r = probe({"mknod=254", "open", std::string("dup=") + way, "fstat", "alloc=1024", "nmap=1024",
                             "npoke=0,0x5a", "memopen", std::string("memdup=") + way, "map=0x180000,0x1000",
                             "peek=0,0,1", "close", "open", "alloc=1024", "remove"});
        // Closing the last descriptor of the open file released its buffer.
        EXPECT_EQ(r.out, "mknod 0 0\nopen ok\ndup ok\nfstat chr 254:0 600\n" + alloc +
                             "nmap ok\nnpoke ok\nmemopen ok\nmemdup ok\nmap 0\npeek 5a\nclose 0\nopen ok\n" + alloc +
                             "remove 0 0\n")
            << r.err;
    }
}

} // namespace
