// Ports, physical memory windows, the launcher, and the proof that nothing
// reaches the real platform.
#include "harness.h"

#include <fstream>
#include <sys/stat.h>

namespace {

TEST_F(VpcTest, PortFormsReachTheCmosAndTheSmiPort)
{
    init("smi_port=0x1234");
    std::string cmos = file("cmos.bin");
    cmos[0x2e] = '\x5a';
    cmos[0x10] = '\x01';
    write_all(st() + "/cmos.bin", cmos);
    RunResult r = probe({"iopl=3", "out70=0x2e", "in71", "out=0x70,0x90", "in=0x71", "out=0x71,0xa5", "in=0x70",
                         "glibc-cmos=0x2e", "in=0x80", "in=0x1234", "out=0x80,0x55", "out=0x1234,0x20", "outb2=0x20",
                         "iopl=0"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "iopl 0 0\nout70 ok\nin71 0x5a\nout ok\nin 0x01\nout ok\nin 0x90\nglibc-cmos 0x5a\nin 0xff\n"
              "in 0xff\nout ok\nout ok\noutb2 ok\niopl 0 0\n");
    EXPECT_EQ(file("cmos.bin")[0x10], '\xa5');  // index 0x90 is CMOS byte 0x10 (bit 7 is the NMI mask)
    std::vector<std::string> t = trace();
    std::vector<std::string> want = {"iopl 3 = 0",    "out 0x70 0x2e", "in 0x71 0x5a",  "out 0x70 0x90",
                                     "in 0x71 0x01",  "out 0x71 0xa5", "in 0x70 0x90",  "out 0x70 0x2e",
                                     "in 0x71 0x5a",  "in 0x80 0xff",  "in 0x1234 0xff", "out 0x80 0x55",
                                     "smi 0x20 status=0", "out 0xb2 0x20", "iopl 0 = 0"};
    EXPECT_EQ(t, want);
}

TEST_F(VpcTest, PortAccessWithoutIoplDiesLikeOnAKernel)
{
    init();
    EXPECT_EQ(probe({"in=0x71"}).code, 128 + 11);
    EXPECT_EQ(probe({"iopl=3", "iopl=0", "out70=1"}).code, 128 + 11);
    EXPECT_EQ(probe({"iopl=3", "out70=1"}, "--fault iopl_fail").code, 128 + 11);
    RunResult r = probe({"iopl=3"}, "--fault iopl_fail");
    EXPECT_EQ(r.out, "iopl -1 EPERM\n");
    EXPECT_EQ(trace().back(), "iopl 3 = -1");
    // A real crash is still a crash.
    EXPECT_EQ(probe({"iopl=3", "segv"}).code, 128 + 11);
}

struct MemCase {
    const char* name;
    std::string init_args, fault;
    std::vector<std::string> actions;
    std::string out;
};

TEST_F(VpcTest, PhysicalMemoryWindows)
{
    const MemCase cases[] = {
        {"bios and info windows", "", "", {"memopen", "map=0xf0000,0xffff", "map=0xe0000,0xffff"},
         "memopen ok\nmap 0\nmap 1\n"},
        {"unaligned offset", "", "", {"memopen", "map=0xe1230,0xffff"}, "memopen ok\nmap fail EINVAL\n"},
        {"enclosing pages of an unaligned segment", "", "", {"memopen", "map=0xe1000,0x1022f"},
         "memopen ok\nmap 0\n"},
        {"beyond memory", "", "", {"memopen", "map=0x1f8000,0x10000"}, "memopen ok\nmap fail EINVAL\n"},
        {"no_devmem", "", "no_devmem", {"memopen"}, "memopen ENOENT\n"},
        {"map_fail=bios", "", "map_fail=bios", {"memopen", "map=0xf0000,0xffff", "map=0xe0000,0xffff"},
         "memopen ok\nmap fail EINVAL\nmap 0\n"},
        {"map_fail=info", "info_paragraph=0xd123", "map_fail=info",
         {"memopen", "map=0xf0000,0xffff", "map=0xd1000,0x1022f"}, "memopen ok\nmap 0\nmap fail EINVAL\n"},
        {"unmap_fail=bios", "", "unmap_fail=bios",
         {"memopen", "map=0xf0000,0xffff", "map=0xe0000,0xffff", "unmap=0", "unmap=1", "peek=0,0x5a40,4"},
         "memopen ok\nmap 0\nmap 1\nunmap -1 EINVAL\nunmap 0 0\npeek 24 51 5a 58\n"},
        {"unmap_fail=info", "", "unmap_fail=info",
         {"memopen", "map=0xf0000,0xffff", "map=0xe0000,0xffff", "unmap=0", "unmap=1"},
         "memopen ok\nmap 0\nmap 1\nunmap 0 0\nunmap -1 EINVAL\n"},
    };
    for (const MemCase& c : cases) {
        SCOPED_TRACE(c.name);
        init(c.init_args);
        RunResult r = probe(c.actions, c.fault.empty() ? "" : "--fault " + c.fault);
        EXPECT_EQ(r.out, c.out) << r.err;
    }
    std::string t = file("trace");
    EXPECT_NE(t.find("munmap mem 0x000e0000 0xffff = -1\n"), std::string::npos) << t;
}

TEST_F(VpcTest, SignatureFaultsHoldForOneRun)
{
    init();
    const std::vector<std::string> look = {"memopen", "map=0xf0000,0xffff", "findhdr"};
    EXPECT_EQ(probe(look, "--fault no_signature").out, "memopen ok\nmap 0\nfindhdr none port=0xb2\n");
    EXPECT_EQ(probe(look).out, "memopen ok\nmap 0\nfindhdr ok port=0xb2\n");
    RunResult r = probe({"memopen", "map=0xf0000,0xffff", "peek=0,65521,14"}, "--fault signature_at=65521");
    EXPECT_EQ(r.out, "memopen ok\nmap 0\npeek 24 51 5a 58 00 00 00 00 10 00 00 e0 b2 00\n");
    r = probe({"memopen", "map=0xf0000,0x10000", "peek=0,65531,5"}, "--fault signature_at=65531");
    EXPECT_EQ(r.out, "memopen ok\nmap 0\npeek 24 51 5a 58 00\n");
    // A machine without a header keeps having none.
    init("no_signature=1");
    EXPECT_EQ(probe(look).out, "memopen ok\nmap 0\nfindhdr none port=0xb2\n");
}

TEST_F(VpcTest, ModuleToolsAndIoplNeverReachTheSystem)
{
    init();
    // Stand-ins for the real tools that record being run.
    std::string bin = dir_ + "/bin";
    sh("mkdir -p " + q(bin));
    for (const char* tool : {"insmod", "rmmod", "modprobe"}) {
        std::string path = bin + "/" + tool;
        write_all(path, "#!/bin/sh\necho ran >> " + q(dir_ + "/ran-" + tool) + "\n");
        chmod(path.c_str(), 0755);
    }
    std::string env = "PATH=" + q(bin) + ":/usr/bin:/bin ";
    RunResult r = sh(env + q(ZORVPC_EXE) + " run " + q(st()) + " -- " + q(VPCPROBE_EXE) +
                     " iopl=3 rflags-iopl" + " 'system=insmod ./zorfldrv_mod.o 2> /dev/null > /dev/null'" +
                     " 'system=insmod zorfldrv_mod 2> /dev/null > /dev/null' 'system=rmmod zorfldrv_mod'" +
                     " 'system=modprobe zorfldrv_mod' 'system=sh -c \"insmod zorfldrv_mod\"'" +
                     " 'system=sh -c \"exec rmmod x\"' 'system=echo passes-through'");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("rflags-iopl 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("passes-through\n"), std::string::npos);  // other commands do run
    // Nor as the command of a run.
    EXPECT_EQ(sh(env + q(ZORVPC_EXE) + " run " + q(st()) + " -- insmod zorfldrv_mod").code, 2);
    EXPECT_EQ(sh(q(ZORVPC_EXE) + " run " + q(st()) + " -- " + q(bin + "/rmmod") + " zorfldrv_mod").code, 2);
    for (const char* tool : {"insmod", "rmmod", "modprobe"})
        EXPECT_FALSE(std::ifstream(dir_ + "/ran-" + tool).good()) << tool << " was run";
    EXPECT_NE(r.err.find("refusing to run the module tool"), std::string::npos) << r.err;
}

TEST_F(VpcTest, WithoutAStateDirectoryEverythingFailsSafe)
{
    // The library alone, no machine: the probe must still find the library loaded.
    std::string pre = "env -u ZORVPC_STATE LD_PRELOAD=" + q(ZORVPC_LIB) + " " + q(VPCPROBE_EXE);
    RunResult r = sh(pre + " iopl=3 mknod=254 'system=insmod zorfldrv_mod' devices rflags-iopl");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "iopl -1 EPERM\nmknod -1 EPERM\nsystem 1\ndevices ENOENT\nrflags-iopl 0\n");
    EXPECT_FALSE(std::ifstream(work() + "/zorfl").good());
    EXPECT_EQ(sh(pre + " iopl=3 in=0x71").code, 128 + 11);
    // The probe refuses to run at all without the library.
    EXPECT_EQ(sh(q(VPCPROBE_EXE) + " iopl=3").code, 3);
}

TEST_F(VpcTest, LauncherRunsCommandsAndReportsTheirStatus)
{
    init();
    std::string run = q(ZORVPC_EXE) + " run " + q(st());
    EXPECT_EQ(sh(run + " -- sh -c 'exit 7'").code, 7);
    EXPECT_EQ(sh(run + " -- sh -c 'kill -TERM $$'").code, 128 + 15);
    RunResult r = sh(run + " -- sh -c 'echo $ZORVPC_STATE; echo $ZORVPC_FAULTS' ");
    EXPECT_EQ(r.out, st() + "\n\n");
    r = sh(run + " --fault read_fail=0x80000 --fault iopl_fail -- sh -c 'echo $ZORVPC_FAULTS'");
    EXPECT_EQ(r.out, "read_fail=0x80000;iopl_fail\n");
    EXPECT_EQ(sh(run + " --fault bogus -- true").code, 2);
    EXPECT_EQ(sh(run + " --fault read_fail=x -- true").code, 2);
    EXPECT_EQ(sh(run + " true").code, 2);  // no --
    EXPECT_EQ(sh(q(ZORVPC_EXE) + " run " + q(dir_ + "/none") + " -- true").code, 2);
    EXPECT_EQ(sh(run + " -- " + q(VPC_STATIC_EXE)).code, 2);  // never run without the library
    probe({"iopl=3"});
    EXPECT_EQ(sh(run + " --clear-trace -- true").code, 0);
    EXPECT_EQ(file("trace"), "");
}

// A set-user-ID program would run without the library: refused by the launcher, and by the
// library when a command of the run tries to start one.
TEST_F(VpcTest, SetUserIdProgramsNeverRun)
{
    init();
    std::string run = q(ZORVPC_EXE) + " run " + q(st());
    std::string prog = work() + "/suid";
    write_all(prog, "#!/bin/sh\necho escaped\n");
    ASSERT_EQ(chmod(prog.c_str(), 04755), 0);
    RunResult direct = sh(run + " -- " + q(prog));
    EXPECT_EQ(direct.code, 2);
    EXPECT_EQ(direct.out, "");
    RunResult nested = sh(run + " -- sh -c " + q(q(prog) + "; echo $?"));
    EXPECT_EQ(nested.out, "126\n");
    EXPECT_NE(nested.err.find("refusing to run"), std::string::npos);
}

TEST_F(VpcTest, InitDescriptionsAndOverrides)
{
    init("--machine " + q(std::string(VPC_MACHINES_DIR) + "/2mb.conf") + " rom_id=ZX2MB009");
    EXPECT_EQ(file("flash.bin").size(), 2048u * 1024);
    EXPECT_EQ(file("flash.bin").substr(2048 * 1024 - 32, 8), "ZX2MB009");
    EXPECT_EQ(file("physmem").size(), 2u * 1024 * 1024);
    EXPECT_EQ(file("cmos.bin").size(), 128u);
    EXPECT_NE(file("machine").find("rom_id = ZX2MB009\n"), std::string::npos);
    EXPECT_EQ(sh(q(ZORVPC_EXE) + " init " + q(st()) + " rom_kb=99999").code, 2);
    EXPECT_EQ(sh(q(ZORVPC_EXE) + " init " + q(st()) + " --machine /nonexistent").code, 2);
    // show: the layout table names every kind.
    init("module_loaded=1");
    RunResult r = sh(q(ZORVPC_EXE) + " show " + q(st()));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(lines_with(r.out, "   main").size(), 6u);
    EXPECT_EQ(lines_with(r.out, "   nvram").size(), 2u);
    EXPECT_EQ(lines_with(r.out, "   boot").size(), 2u);
    EXPECT_NE(r.out.find("word sum 0x00000000\n"), std::string::npos);
    EXPECT_NE(r.out.find("Module zorfldrv_mod: loaded, major 254"), std::string::npos);
    EXPECT_NE(r.out.find("(valid)"), std::string::npos);
}

TEST_F(VpcTest, MkromWritesFilesForTheMachine)
{
    init();
    std::string mk = q(ZORVPC_EXE) + " mkrom " + q(st()) + " ";
    ASSERT_EQ(sh(mk + "new.rom --id ZX512B02 --nc 0x10000:0x8000 --sig 42:0 --bbm").code, 0);
    std::string rom = read_all(work() + "/new.rom");
    ASSERT_EQ(rom.size(), 512u * 1024);
    EXPECT_EQ(rom.substr(rom.size() - 32, 8), "ZX512B02");
    EXPECT_EQ(rom.substr(0x10000, 8), "ZORNCBLK");
    EXPECT_EQ(rom.substr(42, 8), "ZORBIOSC");
    EXPECT_NE(rom.find("$BBM", 0x70000), std::string::npos);
    EXPECT_NE(rom, file("flash.bin"));  // a new ROM by default
    ASSERT_EQ(sh(mk + "same.rom --seed 1").code, 0);
    EXPECT_EQ(read_all(work() + "/same.rom"), file("flash.bin"));  // the flash is seed flash_seed
    ASSERT_EQ(sh(mk + "long.rom --size 524289").code, 0);
    EXPECT_EQ(read_all(work() + "/long.rom").size(), 524289u);
    for (const char* bad : {"--nc 0x1008:16", "--sig 44", "--id TOOLONGID", "--size x", "--frob"})
        EXPECT_EQ(sh(mk + "bad.rom " + bad).code, 2) << bad;
}

TEST_F(VpcTest, HelpDocumentsEveryFaultAndKey)
{
    RunResult r = sh(q(ZORVPC_EXE) + " --help");
    EXPECT_EQ(r.code, 0);
    for (const char* word :
         {"iopl_fail", "no_devmem", "map_fail", "unmap_fail", "insmod_fail", "not_listed", "node_unopenable",
          "alloc_fail", "free_fail", "node_mmap_fail", "open_status", "close_status", "read_fail", "read_badsum",
          "erase_fail", "write_fail", "write_corrupt", "power_loss", "no_signature", "signature_at", "rom_kb",
          "block =", "boot_blocks", "nvram =", "smi_port", "header_pos", "param_offset", "info_paragraph",
          "info_ptr_offset", "rom_id", "module_major", "module_loaded", "flash_seed", "physmem", "flash.bin",
          "cmos.bin", "devices", "trace", "smi 0x21 addr=", "module_installed", "reboot DIR", "ONE MACHINE",
          "machine.lock", "node-files", "smm ", "power-lost"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    EXPECT_EQ(sh(q(ZORVPC_EXE)).code, 2);
}

} // namespace
