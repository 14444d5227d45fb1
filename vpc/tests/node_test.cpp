// The module, its node "zorfl" and the transfer buffer, as the kernel would present them.
#include "harness.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

struct NodeCase {
    const char* name;
    const char* prepare;                 // shell command run in the work dir first
    std::string init_args;
    std::vector<std::string> actions;
    std::string out;                     // the probe's whole output
    std::vector<std::string> trace_has;  // lines the trace must hold
};

TEST_F(VpcTest, NodeBehavesAsTheKernelWould)
{
    const NodeCase cases[] = {
        {"mknod over a file", "echo x > zorfl", "", {"mknod=254"}, "mknod -1 EEXIST\n",
         {"mknod zorfl 0x2180 254:0 = -1 EEXIST"}},
        {"mknod over a dangling symlink", "ln -s nowhere zorfl", "", {"mknod=254"}, "mknod -1 EEXIST\n", {}},
        {"mknod over a directory", "mkdir zorfl", "", {"mknod=254"}, "mknod -1 EEXIST\n", {}},
        {"open a symlink with O_NOFOLLOW", "echo x > target && ln -s target zorfl", "", {"open"},
         "open ELOOP\n", {"open zorfl = -1 ELOOP"}},
        {"open a directory", "mkdir zorfl", "", {"open"}, "open EISDIR\n", {"open zorfl = -1 EISDIR"}},
        {"open nothing", "true", "", {"open"}, "open ENOENT\n", {"open zorfl = -1 ENOENT"}},
        {"plain file opens as a file", "echo plain > zorfl", "module_loaded=1", {"open", "fstat", "close"},
         "open ok\nfstat reg\nclose 0\n", {"open zorfl = ok", "fstat zorfl = reg", "close zorfl = 0"}},
        {"node without the module", "true", "", {"mknod=254", "open"}, "mknod 0 0\nopen ENXIO\n",
         {"open zorfl = -1 ENXIO"}},
        {"node of another major", "true", "module_loaded=1", {"mknod=253", "open"}, "mknod 0 0\nopen ENXIO\n", {}},
        {"block node", "true", "module_loaded=1", {"mknod=254,0x6180", "open"}, "mknod 0 0\nopen ENXIO\n", {}},
        {"node with the module", "true", "module_loaded=1", {"mknod=254", "open", "fstat"},
         "mknod 0 0\nopen ok\nfstat chr 254:0 600\n", {"fstat zorfl = chr 254:0"}},
        {"unopenable name", "echo x > zorfl", "module_loaded=1", {"open", "remove"}, "open EACCES\nremove 0 0\n",
         {"open zorfl = -1 EACCES", "remove zorfl = 0"}},
        {"remove nothing", "true", "", {"remove"}, "remove -1 ENOENT\n", {"remove zorfl = -1 ENOENT"}},
    };
    for (const NodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(sh("rm -rf zorfl target && " + std::string(c.prepare)).code, 0);
        init(c.init_args);
        std::string opts = std::string(c.name) == "unopenable name" ? "--fault node_unopenable" : "";
        RunResult r = probe(c.actions, opts);
        EXPECT_EQ(r.out, c.out) << r.err;
        std::string t = file("trace");
        for (const std::string& line : c.trace_has)
            EXPECT_NE(t.find(line + "\n"), std::string::npos) << line << " in\n" << t;
    }
}

TEST_F(VpcTest, MknodMakesAnOrdinaryEntryNeverADevice)
{
    init();
    RunResult r = probe({"mknod=254"});
    ASSERT_EQ(r.out, "mknod 0 0\n");
    struct stat st;
    ASSERT_EQ(lstat((work() + "/zorfl").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(read_all(work() + "/zorfl"), "zorvpc-node c 254:0\n");
}

TEST_F(VpcTest, ARealDeviceNodeUnderTheNameIsNeverOpened)
{
    // The null device: harmless even if it were opened.
    if (mknod((work() + "/zorfl").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot create a device node here";
    init("module_loaded=1");
    RunResult r = probe({"open"});
    EXPECT_EQ(r.out, "open ENXIO\n");
}

struct ModuleCase {
    const char* name;
    const char* files;     // files in the working directory
    std::string init_args;
    std::string fault;
    std::vector<std::string> commands;
    std::string exits;     // exit status of each, one digit each
    bool loaded_after;
    std::string stderr_has;
};

TEST_F(VpcTest, ModuleCommandsAreEmulated)
{
    const std::string first = "insmod ./zorfldrv_mod.o 2> /dev/null > /dev/null";
    const std::string second = "insmod zorfldrv_mod 2> /dev/null > /dev/null";
    const std::string rm = "rmmod zorfldrv_mod";
    const std::string third = "modprobe zorfldrv_mod 2> /dev/null > /dev/null";
    const std::string both = "zorfldrv_mod.o zorfldrv_mod";
    const ModuleCase cases[] = {
        {"first loads from the file", "zorfldrv_mod.o", "", "", {first}, "0", true, ""},
        {"insmod never searches the module tree", "", "module_installed=1", "", {first, second, "insmod zorfldrv_mod"},
         "111", false, "insmod: ERROR: could not load module zorfldrv_mod: No such file or directory\n"},
        {"insmod by name loads the file of that name", "zorfldrv_mod", "", "", {first, second}, "10", true, ""},
        {"insmod_fail=first", both.c_str(), "", "insmod_fail=first", {first, second}, "10", true, ""},
        {"insmod_fail=both", both.c_str(), "module_installed=1", "insmod_fail=both", {first, second, third}, "111",
         false, ""},
        {"already loaded", both.c_str(), "module_loaded=1 module_installed=1", "", {first, second, third}, "110", true, ""},
        {"modprobe loads an installed module", "", "module_installed=1", "", {third}, "0", true, ""},
        {"modprobe without it installed", "zorfldrv_mod.o", "", "", {"modprobe zorfldrv_mod"}, "1", false,
         "modprobe: FATAL: Module zorfldrv_mod not found in directory /lib/modules/"},
        {"rmmod unloads", "", "module_loaded=1", "", {rm, rm}, "01", false,
         "rmmod: ERROR: Module zorfldrv_mod is not currently loaded\n"},
        {"modprobe -r when not loaded", "", "", "", {"modprobe -r zorfldrv_mod"}, "1", false,
         "modprobe: FATAL: Module zorfldrv_mod is not in kernel.\n"},
        {"other spellings", "zorfldrv_mod.o", "module_installed=1", "",
         {"/sbin/insmod ./zorfldrv_mod.o", "modprobe -r zorfldrv_mod", "modprobe zorfldrv_mod",
          "/usr/sbin/rmmod zorfldrv_mod"}, "0000", false, ""},
        {"unknown module", "other_mod", "", "", {"insmod other_mod", "rmmod other_mod"}, "11", false,
         "Module other_mod is not currently loaded"},
    };
    for (const ModuleCase& c : cases) {
        SCOPED_TRACE(c.name);
        sh(std::string("rm -f zorfldrv_mod.o zorfldrv_mod other_mod && touch ") + c.files + " /dev/null");
        init(c.init_args);
        std::vector<std::string> actions;
        for (const std::string& cmd : c.commands)
            actions.push_back("system=" + cmd);
        RunResult r = probe(actions, c.fault.empty() ? "" : "--fault " + c.fault);
        std::string exits;
        for (const std::string& line : lines_with(r.out, "system "))
            exits += line.substr(7);
        EXPECT_EQ(exits, c.exits);
        EXPECT_EQ(file("module"), std::string("loaded = ") + (c.loaded_after ? "1" : "0") + "\nmajor = 254\n");
        if (c.stderr_has.empty())
            EXPECT_EQ(r.err, "");
        else
            EXPECT_NE(r.err.find(c.stderr_has), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("rmmod:"), std::string::npos);  // messages go to stderr only
    }
}

TEST_F(VpcTest, RmmodRefusesWhileTheNodeIsOpen)
{
    init("module_loaded=1");
    RunResult r = probe({"mknod=254", "open", "system=rmmod zorfldrv_mod", "close", "system=rmmod zorfldrv_mod"});
    EXPECT_EQ(r.out, "mknod 0 0\nopen ok\nsystem 1\nclose 0\nsystem 0\n");
    EXPECT_NE(r.err.find("rmmod: ERROR: Module zorfldrv_mod is in use"), std::string::npos);
}

TEST_F(VpcTest, DeviceListShowsTheModuleWhenLoadedAndListed)
{
    init("module_loaded=1");
    EXPECT_EQ(probe({"devices"}).out, "devices 254 zorfldrv\ndevices end\n");
    EXPECT_EQ(probe({"devices"}, "--fault not_listed").out, "devices end\n");
    init("module_loaded=1 module_major=7");
    EXPECT_EQ(probe({"devices"}).out, "devices   7 zorfldrv\ndevices end\n");
    init();
    EXPECT_EQ(probe({"devices"}).out, "devices end\n");
    std::string list = file("devices");
    EXPECT_EQ(list.rfind("Character devices:\n", 0), 0u);
}

struct BufferCase {
    const char* name;
    std::string fault;
    std::vector<std::string> actions;
    std::string out;
};

TEST_F(VpcTest, TransferBufferRequests)
{
    const std::string rest = " rest=aaaaaaaa,bbbbbbbb,cccccccc,dddddddd\n";
    const BufferCase cases[] = {
        {"alloc then free", "", {"alloc=1024", "free=1024"},
         "alloc 0 0 phys=0x00180000" + rest + "free 0 0 phys=0x00000000" + rest},
        {"second alloc while held", "", {"alloc=1024", "alloc=1024"},
         "alloc 0 0 phys=0x00180000" + rest + "alloc -1 EBUSY phys=0x00000000" + rest},
        {"size zero", "", {"alloc=0"}, "alloc -1 EINVAL phys=0x00000000" + rest},
        {"size above 64 KB", "", {"alloc=65537"}, "alloc -1 EINVAL phys=0x00000000" + rest},
        {"free without alloc", "", {"free=1024"}, "free -1 ENOENT phys=0x00000000" + rest},
        {"alloc_fail", "alloc_fail", {"alloc=1024"}, "alloc -1 ENOMEM phys=0x00000000" + rest},
        {"free_fail still releases", "free_fail", {"alloc=1024", "free=1024", "alloc=1024"},
         "alloc 0 0 phys=0x00180000" + rest + "free -1 EIO phys=0x00000000" + rest + "alloc 0 0 phys=0x00180000" +
             rest},
        {"node_mmap_fail", "node_mmap_fail", {"alloc=1024", "nmap=1024"},
         "alloc 0 0 phys=0x00180000" + rest + "nmap fail ENOMEM\n"},
        {"mmap without a buffer", "", {"nmap=1024"}, "nmap fail EINVAL\n"},
        {"mmap larger than the buffer", "", {"alloc=1024", "nmap=8192"},
         "alloc 0 0 phys=0x00180000" + rest + "nmap fail EINVAL\n"},
        {"close releases the buffer", "", {"alloc=1024", "close", "open", "alloc=1024"},
         "alloc 0 0 phys=0x00180000" + rest + "close 0\nopen ok\nalloc 0 0 phys=0x00180000" + rest},
    };
    init("module_loaded=1");
    for (const BufferCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> all = {"mknod=254", "open"};
        all.insert(all.end(), c.actions.begin(), c.actions.end());
        all.push_back("remove");
        RunResult r = probe(all, c.fault.empty() ? "" : "--fault " + c.fault);
        EXPECT_EQ(r.out, "mknod 0 0\nopen ok\n" + c.out + "remove 0 0\n") << r.err;
    }
    std::string t = file("trace");
    EXPECT_NE(t.find("ioctl 0x4160 size=1024 = -1 ENOMEM\n"), std::string::npos);
    EXPECT_NE(t.find("ioctl 0x4161 size=1024 = -1 EIO\n"), std::string::npos);
    EXPECT_NE(t.find("mmap node 0x400 = fail\n"), std::string::npos);
}

TEST_F(VpcTest, BufferIsTheSameMemoryThroughTheNodeAndDevMem)
{
    init("module_loaded=1");
    // Dirty the buffer's memory first: alloc must hand it out zeroed.
    std::string phys = file("physmem");
    phys.replace(0x180000, 4, "\x11\x22\x33\x44", 4);
    write_all(st() + "/physmem", phys);
    RunResult r = probe({"memopen", "map=0x180000,0x1000", "mknod=254", "open", "alloc=1024", "nmap=1024",
                         "npeek=0,4", "peek=0,0,4", "npoke=0x3fc,0xde,0xad", "peek=0,0x3fc,2", "poke=0,0x10,0x77",
                         "npeek=0x10,1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(lines_with(r.out, "peek"),
              (std::vector<std::string>{"npeek 00 00 00 00", "peek 00 00 00 00", "peek de ad", "npeek 77"}));
    EXPECT_EQ(file("physmem").substr(0x1803FC, 2), "\xde\xad");
}

} // namespace
