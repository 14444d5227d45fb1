// The round trip: a virtual machine, saved with the tool's /o and captured under zorvpc run,
// gives a twin on which the tool behaves as on the machine itself.
#include "harness.h"

#include <dirent.h>

#include <algorithm>

namespace {

// Every example machine, and layouts none of them has.
std::vector<std::string> machines()
{
    std::vector<std::string> out = {
        "",
        "header_pos=0xffe0 param_offset=0",  // header near the segment's end, parameter block on it
        "info_paragraph=0xf000 header_pos=0x9000 smi_port=0x1234",  // flash info inside the BIOS segment
        "nvram_list_offset=0xfe00 info_record_offset=0x20",
        "rom_kb=64 'block=0xf0000 0x10000' boot_blocks=1 nvram=none",
    };
    std::vector<std::string> confs;
    if (DIR* d = opendir(VPC_MACHINES_DIR)) {
        while (dirent* e = readdir(d))
            if (std::string n = e->d_name; n.size() > 5 && n.substr(n.size() - 5) == ".conf")
                confs.push_back(std::string("--machine ") + VPC_MACHINES_DIR + "/" + n);
        closedir(d);
    }
    std::sort(confs.begin(), confs.end());
    EXPECT_GE(confs.size(), 5u);
    out.insert(out.end(), confs.begin(), confs.end());
    return out;
}

TEST_F(VpcTest, CapturedTwinBehavesAsTheMachine)
{
    const std::string vpc = q(ZORVPC_EXE), tool = q(ZORFL_TOOL);
    for (const std::string& m : machines()) {
        SCOPED_TRACE(m.empty() ? "default machine" : m);
        sh("rm -rf " + q(st()) + " twin *.rom; touch zorfldrv_mod.o");
        init(m);
        ASSERT_EQ(sh(vpc + " mkrom " + q(st()) + " new.rom").code, 0);
        RunResult r = sh(vpc + " run " + q(st()) + " -- " + tool + " /obackup.rom");
        ASSERT_EQ(r.code, 0) << r.out;
        clear_trace();
        r = sh(vpc + " run " + q(st()) + " -- " + vpc + " capture twin --flash backup.rom");
        ASSERT_EQ(r.code, 0) << r.err;
        // The capture only opened, mapped and read memory.
        for (const std::string& line : trace())
            EXPECT_TRUE(line.rfind("fopen /dev/mem", 0) == 0 || line.rfind("mmap mem", 0) == 0 ||
                        line.rfind("munmap mem", 0) == 0 || line.rfind("fclose /dev/mem", 0) == 0)
                << line;
        // The same records at the same places, as the virtual PC lays them out.
        EXPECT_EQ(sh(vpc + " show twin layout").out, sh(vpc + " show " + q(st()) + " layout").out);
        for (const char* args : {"/t", "/inew.rom /d", "/inew.rom /pbn"}) {
            RunResult real = sh(vpc + " run " + q(st()) + " -- " + tool + " " + args);
            RunResult twin = sh(vpc + " run twin -- " + tool + " " + args);
            EXPECT_EQ(twin.code, real.code) << args;
            EXPECT_EQ(twin.out, real.out) << args;
        }
        EXPECT_TRUE(file("flash.bin") == read_all(work() + "/twin/flash.bin"));
    }
}

} // namespace

namespace {

struct ChangesCase {
    const char* fault;    // for the run, or ""
    const char* args;     // the tool's
    const char* line;     // a line of "show changes" must hold this, or ""
    const char* summary;  // its last line
};

TEST_F(VpcTest, ShowChangesListsWhatTheLastRunDidBlockByBlock)
{
    const ChangesCase cases[] = {
        {"", "/t", "0x00080000  0x00010000  main                  untouched   as in the backup",
         "0 erased, 0 rewritten, 10 untouched"},
        {"", "/inew.rom", "0x000e0000  0x00008000  NVRAM                 untouched   as in the backup",
         "0 erased, 6 rewritten, 4 untouched"},
        {"erase_fail=0x90000", "/inew.rom", "0x00080000  0x00010000  main                  erased      erased, differs",
         "1 erased, 0 rewritten, 9 untouched"},
        {"", "/inc.rom /c", "0x000e0000  0x00008000  non-critical+NVRAM    rewritten   differs from the backup",
         "0 erased, 7 rewritten, 3 untouched"},
        {"", "/inew.rom /pbn", "0x000f8000  0x00008000  boot block            rewritten   differs from the backup",
         "0 erased, 10 rewritten, 0 untouched; the run erased or rewrote the boot block"},
        // The same again with /e: every block already holds the file's bytes and is only read.
        {"", "/inew.rom /pbn /e", "0x000f8000  0x00008000  boot block            untouched   differs from the backup",
         "0 erased, 0 rewritten, 10 untouched"},
        {"power_loss=read:9", "/inc.rom /c /pbn /e", "0x00080000  0x00010000  main                  untouched",
         "0 erased, 0 rewritten, 10 untouched"},
    };
    const std::string vpc = q(ZORVPC_EXE), tool = q(ZORFL_TOOL);
    init();
    sh("touch zorfldrv_mod.o");
    ASSERT_EQ(sh(vpc + " mkrom " + q(st()) + " new.rom").code, 0);
    ASSERT_EQ(sh(vpc + " mkrom " + q(st()) + " nc.rom --seed 7 --nc 0x60000:0x8000").code, 0);
    ASSERT_EQ(sh(vpc + " run " + q(st()) + " -- " + tool + " /obackup.rom").code, 0);
    // Not a twin: nothing to compare with.
    RunResult r = sh(vpc + " show " + q(st()) + " changes");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("it is not a twin"), std::string::npos) << r.err;
    // A backup of another size, or a directory already in use: refused, and no twin.
    sh("head -c 65536 backup.rom >short.rom; mkdir used; touch used/x");
    const std::pair<const char*, const char*> refused[] = {
        {"short --flash short.rom", "is 65536 bytes, but this BIOS's 512 KB ROM makes a backup of 524288"},
        {"short --flash /dev/zero", "/dev/zero is not a backup"},
        {"used --flash backup.rom", "used exists and is not empty"},
    };
    for (const auto& [bad, says] : refused) {
        r = sh(vpc + " run " + q(st()) + " -- " + vpc + " capture " + bad);
        EXPECT_EQ(r.code, 2) << bad;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    }
    EXPECT_NE(sh("test -e short").code, 0);
    ASSERT_EQ(sh(vpc + " run " + q(st()) + " -- " + vpc + " capture twin --flash backup.rom").code, 0);
    for (const ChangesCase& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " " + c.args);
        std::string fault = *c.fault ? std::string(" --fault ") + c.fault : "";
        sh(vpc + " run twin" + fault + " -- " + tool + " " + c.args);
        r = sh(vpc + " show twin changes");
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\n" + std::string(c.summary) + "\n"), std::string::npos) << r.out;
    }
    // What show reads is a regular file of the machine's ROM size, checked before it is read:
    // a device, a FIFO or a huge sparse file is refused at once, never read to its end.
    const std::pair<const char*, const char*> planted[] = {
        {"ln -sf /dev/zero bad/captured.rom", "holds no captured backup"},
        {"rm bad/captured.rom; mkfifo bad/captured.rom", "holds no captured backup"},
        {"truncate -s 8G bad/flash.bin", "flash.bin is missing or not the size"},
    };
    for (const auto& [plant, says] : planted) {
        sh("rm -rf bad; cp -a twin bad; " + std::string(plant));
        r = sh("timeout 20 " + vpc + " show bad changes");
        EXPECT_EQ(r.code, 2) << plant << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << plant << r.err;
        EXPECT_EQ(sh("timeout 20 " + vpc + " show bad >/dev/null").code, 0) << plant;
    }
}

} // namespace
