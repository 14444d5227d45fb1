// The virtual PC as one machine: its own descriptors out of the command's way,
// duplicated descriptors followed, state shared by every process on it, and a reboot.
#include "harness.h"

#include "machine.h"

namespace {

struct ClosedCase {
    const char* redirs;  // applied to the run
    const char* first;   // the probe's first action
    int lowest;          // the lowest descriptor the command gets for its own file
};

TEST_F(VpcTest, LibraryDescriptorsStayOutOfTheCommandsWay)
{
    const ClosedCase cases[] = {
        {">&-", "iopl=3", 1},
        {"<&- >&-", "iopl=3", 0},
        {"<&- >&- 2>&-", "iopl=3", 0},
        {"<&- >&-", "clobber", 0},  // dup2 onto the library's numbers, then close them
    };
    init();
    // A first run so that the BIOS segment is as the run leaves it.
    ASSERT_EQ(probe({"iopl=3"}).code, 0);
    const std::string phys = file("physmem"), flash = file("flash.bin"), cmos = file("cmos.bin");
    for (const ClosedCase& c : cases) {
        SCOPED_TRACE(std::string(c.redirs) + " " + c.first);
        clear_trace();
        std::string cmd = q(ZORVPC_EXE) + " run " + q(st()) + " -- " + q(VPCPROBE_EXE);
        for (const char* a : {c.first, "iopl=3", "out70=0x2e", "in71", "lowfd", "iopl=0"})
            cmd += std::string(" ") + a;
        RunResult r = sh("{ " + cmd + " " + c.redirs + "; }");
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(read_all(work() + "/lowfd.out"), "lowfd " + std::to_string(c.lowest) + "\n");
        // What the probe printed went nowhere, least of all into the machine.
        EXPECT_TRUE(file("physmem") == phys);
        EXPECT_TRUE(file("flash.bin") == flash);
        EXPECT_TRUE(file("cmos.bin") == cmos);
        std::vector<std::string> t = trace();
        ASSERT_EQ(t.size(), 4u + (std::string(c.first) == "iopl=3"));
        EXPECT_EQ(t[t.size() - 2].rfind("in 0x71 ", 0), 0u);
        EXPECT_EQ(t.back(), "iopl 0 = 0");
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

struct TwoCase {
    const char* name;
    std::vector<std::string> first, second;  // run at once; "touch=" and "wait=" order them
    std::string first_out, second_out;
    std::string second_err;
};

TEST_F(VpcTest, EveryProcessSeesOneMachine)
{
    const std::vector<std::string> smi = {"iopl=3", "memopen", "map=0xf0000,0xffff", "findhdr"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::string rest = " rest=aaaaaaaa,bbbbbbbb,cccccccc,dddddddd\n";
    const TwoCase cases[] = {
        {"one flash handler", with(smi, {"smi=0x20", "touch=a", "wait=b", "smi=0x24"}),
         with({"wait=a"}, with(smi, {"smi=0x24", "touch=b"})),
         "iopl 0 0\nmemopen ok\nmap 0\nfindhdr ok port=0xb2\nsmi 0x20 status=0 sumok=-1\nsmi 0x24 status=8 sumok=-1\n",
         "iopl 0 0\nmemopen ok\nmap 0\nfindhdr ok port=0xb2\nsmi 0x24 status=0 sumok=-1\n", ""},
        {"rmmod while another process holds the node", {"open", "touch=a", "wait=b", "close"},
         {"wait=a", "system=rmmod zorfldrv_mod", "touch=b"}, "open ok\nclose 0\n", "system 1\n",
         "rmmod: ERROR: Module zorfldrv_mod is in use\n"},
        {"a buffer per open file", {"open", "alloc=1024", "nmap=1024", "nfill=0x11", "touch=a", "wait=b", "npeek=0,2", "free=1024"},
         {"wait=a", "open", "alloc=1024", "nmap=1024", "npeek=0,2", "free=1024", "close", "touch=b"},
         "open ok\nalloc 0 0 phys=0x00180000" + rest + "nmap ok\nnfill ok\nnpeek 11 11\nfree 0 0 phys=0x00000000" + rest,
         "open ok\nalloc 0 0 phys=0x00190000" + rest + "nmap ok\nnpeek 00 00\nfree 0 0 phys=0x00000000" + rest +
             "close 0\n",
         ""},
        {"an SMI waits for the one running", {"holdlock=300"},
         with({"wait=locked"}, with(smi, {"smi=0x20", "exists=released"})), "holdlock 0\n",
         "iopl 0 0\nmemopen ok\nmap 0\nfindhdr ok port=0xb2\nsmi 0x20 status=0 sumok=-1\nexists released yes\n", ""},
    };
    for (const TwoCase& c : cases) {
        SCOPED_TRACE(c.name);
        init("module_loaded=1");
        ASSERT_EQ(sh("rm -f a b locked released zorfl").code, 0);
        ASSERT_EQ(probe({"mknod=254"}).out, "mknod 0 0\n");
        auto cmd = [&](const std::vector<std::string>& actions) {
            std::string s = q(ZORVPC_EXE) + " run " + q(st()) + " -- " + q(VPCPROBE_EXE);
            for (const std::string& a : actions)
                s += " " + q(a);
            return s;
        };
        sh("{ " + cmd(c.first) + " > first.out 2> first.err & " + cmd(c.second) + " > second.out 2> second.err; wait; }");
        EXPECT_EQ(read_all(work() + "/first.out"), c.first_out) << read_all(work() + "/first.err");
        EXPECT_EQ(read_all(work() + "/second.out"), c.second_out) << read_all(work() + "/second.err");
        EXPECT_EQ(read_all(work() + "/second.err"), c.second_err);
        // Both gone: the module has no users and every buffer is free again.
        EXPECT_EQ(probe({"open", "alloc=1024", "close", "system=rmmod zorfldrv_mod"}).out,
                  "open ok\nalloc 0 0 phys=0x00180000" + rest + "close 0\nsystem 0\n");
    }
}

struct RebootCase {
    const char* name;
    std::string run_opts;
    bool reboot_command;
    int code;
    char second_piece;  // the flash where the second write went
};

TEST_F(VpcTest, ARebootBringsTheMachineBackAsAPowerCutLeavesIt)
{
    const RebootCase cases[] = {
        {"power loss at the second write", "--fault power_loss=2", false, 128 + 9, '\xff'},
        {"reboot after a run that left everything behind", "", true, 0, '\0'},
    };
    for (const RebootCase& c : cases) {
        SCOPED_TRACE(c.name);
        init();
        write_all(work() + "/zorfldrv_mod", "module object");
        RunResult r = probe({"iopl=3", "out=0x70,0x10", "out=0x71,0xa5", "memopen", "map=0xf0000,0xffff", "findhdr",
                             "mknod=254", "system=insmod zorfldrv_mod", "open", "alloc=1024", "nmap=1024",
                             "setbuf=0x180000", "smi=0x20", "smi=0x22,0x80000,65536", "nfill=0",
                             "smi=0x23,0x80000,1024", "smi=0x23,0x80400,1024"},
                            c.run_opts);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_EQ(r.err, c.reboot_command ? ""
                                          : "\nzorvpc: fault power_loss: power cut at SMI write 2, address 0x00080400, "
                                            "before that write reached the flash; the machine was rebooted\n");
        if (c.reboot_command) {
            ASSERT_EQ(sh(q(ZORVPC_EXE) + " reboot " + q(st())).code, 0);
        }
        std::vector<std::string> t = trace();
        ASSERT_GE(t.size(), 2u);
        EXPECT_EQ(t.back(), "reboot");
        if (!c.reboot_command) {
            EXPECT_EQ(t[t.size() - 2], "smi 0x23 addr=0x00080400 len=1024 power-loss");
        }
        // The flash as the cut left it, the CMOS kept, the module gone, the node stale on the disk.
        std::string flash = file("flash.bin");
        EXPECT_EQ(flash.substr(0, 0x400), std::string(0x400, '\0'));
        EXPECT_EQ(flash.substr(0x400, 0x400), std::string(0x400, c.second_piece));
        EXPECT_EQ(flash.substr(0x800, 0x400), std::string(0x400, '\xff'));
        EXPECT_EQ(file("cmos.bin")[0x10], '\xa5');
        EXPECT_EQ(file("module"), "loaded = 0\nmajor = 254\n");
        EXPECT_EQ(read_all(work() + "/zorfl"), "zorvpc-node c 254:0\n");
        EXPECT_EQ(file("physmem").substr(kBufferPhys, 4), std::string(4, '\0'));
        // The next run: the node opens nowhere and the flash handler is closed.
        EXPECT_EQ(probe({"open", "iopl=3", "memopen", "map=0xf0000,0xffff", "findhdr", "smi=0x21,0x80000,1024"}).out,
                  "open ENXIO\niopl 0 0\nmemopen ok\nmap 0\nfindhdr ok port=0xb2\nsmi 0x21 status=8 sumok=-1\n");
    }
}

} // namespace
