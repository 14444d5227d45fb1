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

} // namespace
