// One run at a time, untrusted directories, closed descriptors, signals, on the virtual PC.
#ifdef ZORVPC
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "vpc.h"

namespace {

// Waits until a started run has filled its one-page output pipe, so that it stands still at a
// known stage: blocked on its next progress line.
void wait_pipe_full(const Started& s) {
  for (int i = 0; i < 6000; ++i) {
    int queued = 0;
    ioctl(s.out_fd, FIONREAD, &queued);
    if (queued > 4096 - 100) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  FAIL() << "the run never filled its output pipe";
}

// The tool the launcher started: its only child.
int tool_pid(const Started& s) {
  std::string p = "/proc/" + std::to_string(s.pid) + "/task/" + std::to_string(s.pid) + "/children";
  return std::atoi(read_file(p).c_str());
}

TEST(OneRunAtATime, SecondRunEnds19AndTouchesNothing) {
  for (bool same_dir : {true, false}) {
    Machine m;
    std::string file = read_file(m.mkrom("new.rom", {"--seed", "31"}));
    Started first = m.start({"/inew.rom", "/pbn"});
    wait_pipe_full(first);  // loading the file, before the first erase
    auto trace = m.trace();
    std::string other = m.root + "/other";
    std::filesystem::create_directory(other);
    RunResult second = m.run_in(same_dir ? m.work : other, {"/q", "/t"});
    EXPECT_EQ(second.code, 19) << same_dir;
    EXPECT_EQ(second.out, frame("Another zorflashlnx2 is running on this machine")) << same_dir;
    EXPECT_EQ(m.trace(), trace) << same_dir;
    RunResult r = finish_command(first);
    EXPECT_EQ(r.code, 0) << same_dir;
    EXPECT_TRUE(m.flash() == file) << same_dir;
  }
}

// The lock file: /run/lock created when missing, the file private; one that cannot be opened
// (here a planted link, never followed) is an error of its own, and nothing is done.
TEST(OneRunAtATime, LockFile) {
  Machine m;
  ASSERT_EQ(m.run({"/q"}).code, 0);
  EXPECT_EQ(std::filesystem::status(m.state + "/lock").permissions(), std::filesystem::perms(0755));
  EXPECT_EQ(std::filesystem::status(m.state + "/lock/zorflashlnx2.lock").permissions(),
            std::filesystem::perms(0600));

  std::filesystem::remove(m.state + "/lock/zorflashlnx2.lock");
  write_file(m.root + "/victim", "precious");
  std::filesystem::create_symlink(m.root + "/victim", m.state + "/lock/zorflashlnx2.lock");
  m.clear_trace();
  RunResult r = m.run({"/q", "/t"});
  EXPECT_EQ(r.code, 19);
  EXPECT_EQ(r.out, frame("Unable to open /run/lock/zorflashlnx2.lock: Too many levels of symbolic links"));
  EXPECT_TRUE(m.trace().empty());
  EXPECT_EQ(read_file(m.root + "/victim"), "precious");
}

// A stop signal before the first erase ends the run through the whole clean-up with 20; the
// flash is untouched, and so is the old backup that the stopped save would have replaced.
TEST(StopSignals, BeforeTheFirstEraseEndWith20) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    Machine m;
    m.mkrom("new.rom", {"--seed", "31"});
    std::string before = m.flash();
    write_file(m.work + "/saved.rom", "old backup");
    Started s = m.start({"/osaved.rom", "/inew.rom"});
    wait_pipe_full(s);  // reading the flash for the save
    int pid = tool_pid(s);
    ASSERT_GT(pid, 0);
    kill(pid, sig);
    RunResult r = finish_command(s);
    EXPECT_EQ(r.code, 20) << sig;
    std::string stopped = frame("Stopped by a signal; the flash was not changed") + saved_left("saved.rom");
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), stopped.size())), stopped) << sig;
    EXPECT_TRUE(m.flash() == before) << sig;
    EXPECT_EQ(read_file(m.work + "/saved.rom"), "old backup") << sig;
    auto t = m.trace();
    EXPECT_EQ(find_line(t, "smi 0x22"), -1) << sig;
    EXPECT_GE(find_line(t, "smi 0x24 status=0"), 0) << sig;
    EXPECT_GE(find_line(t, "system rmmod zorfldrv_mod = 0"), 0) << sig;
    EXPECT_EQ(t.back(), "iopl 0 = 0") << sig;
    EXPECT_FALSE(file_exists(m.work + "/zorfl")) << sig;
  }
}

// A failure in the last block erases the BIOS's ROM ID: the same command then fails the ROM ID
// check with a line that names the cause and /n, and /n finishes the job.
TEST(ErasedRomId, SaysSoAndNamesN) {
  Machine m;
  std::string file = read_file(m.mkrom("new.rom", {"--seed", "31"}));
  const std::string erased =
      " The BIOS ROM ID is erased, most likely by a programming run that did not finish;\n"
      " /n programs the file without this check\n";
  const std::string rom_id = frame("ROM file ROMID is not compatible with existing BIOS ROMID.");
  struct Step {
    std::vector<std::string> args;
    std::vector<std::string> faults;
    int code;
    std::string out;
  } steps[] = {
      {{"/q", "/inew.rom", "/pbn"}, {"write_fail=0xf8000"}, 68, frame("Unable to write block: 0x000F8000\n")},
      {{"/q", "/inew.rom", "/pbn"}, {}, 4, erased + rom_id},
      {{"/q", "/inew.rom", "/pbn", "/d"}, {}, 129, erased},
      {{"/q", "/inew.rom", "/pbn", "/n"}, {}, 0, ""},
  };
  for (const auto& s : steps) {
    RunResult r = m.run(s.args, s.faults);
    EXPECT_EQ(r.code, s.code) << s.args.back();
    EXPECT_EQ(r.out, s.out) << s.args.back();
  }
  EXPECT_TRUE(m.flash() == file);
}

// Module files in the working directory are loaded only when nobody else can have put or
// changed them there; the name search of the second command needs no file.
TEST(ModuleFiles, UntrustedOnesAreNotLoaded) {
  const std::string dir_line = "the directory is writable by other users\n";
  struct Case {
    const char* name;
    void (*plant)(const std::string& work);
    std::string out;
    int code;
    bool by_name;  // the second command, insmod by name, runs
    std::vector<std::string> machine;
  } cases[] = {
      {"group-writable directory",
       [](const std::string& w) {
         write_file(w + "/zorfldrv_mod.o", "module");
         std::filesystem::permissions(w, std::filesystem::perms(0775));
       },
       " not loading ./zorfldrv_mod.o: " + dir_line + " not loading ./zorfldrv_mod: " + dir_line +
           "error loading driver\n no zorfldrv_mod for this kernel (" + kernel_release() +
           "): install linux-headers-" + kernel_release() + " and zorfldrv-dkms\n" +
           frame("Unable to load driver\n"),
       16, false, {}},
      {"group-writable directory, no module file, module installed",
       [](const std::string& w) {
         std::filesystem::remove(w + "/zorfldrv_mod");
         std::filesystem::permissions(w, std::filesystem::perms(0775));
       },
       "", 0, false, {"module_installed = 1"}},
      {"file writable by others",
       [](const std::string& w) {
         write_file(w + "/zorfldrv_mod.o", "module");
         std::filesystem::permissions(w + "/zorfldrv_mod.o", std::filesystem::perms(0646));
       },
       " not loading ./zorfldrv_mod.o: it is writable by other users\n", 0, true, {}},
      {"planted link",
       [](const std::string& w) {
         write_file(w + "/../module", "module");
         std::filesystem::create_symlink(w + "/../module", w + "/zorfldrv_mod.o");
       },
       " not loading ./zorfldrv_mod.o: it is not a regular file\n", 0, true, {}},
      {"other owner",
       [](const std::string& w) {
         write_file(w + "/zorfldrv_mod.o", "module");
         if (chown((w + "/zorfldrv_mod.o").c_str(), 65534, 65534) != 0) return;
       },
       " not loading ./zorfldrv_mod.o: it is not owned by the user running this tool\n", 0, true, {}},
  };
  for (const auto& c : cases) {
    if (std::string(c.name) == "other owner" && geteuid() != 0) continue;  // cannot give a file away
    Machine m(TEST_MACHINE, c.machine);
    c.plant(m.work);
    RunResult r = m.run({"/q"});
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    // A refused command never runs; the name search runs when only the file was refused.
    auto t = m.trace();
    EXPECT_EQ(find_line(t, "system insmod ./zorfldrv_mod.o"), -1) << c.name;
    EXPECT_EQ(find_line(t, "system insmod zorfldrv_mod") >= 0, c.by_name) << c.name;
  }
}

// Started from a service with standard input and output closed, the tool keeps its console
// out of the files it opens: the backup equals the flash, also with a block table out of order.
TEST(ClosedDescriptors, BackupEqualsTheFlash) {
  const char* out_of_order =
      "rom_kb = 512\nblock = 0xc0000 0x20000\nblock = 0x80000 0x40000\nblock = 0xe0000 0x10000\n"
      "block = 0xf0000 0x10000\nboot_blocks = 1\nrom_id = ZX512C00\ninfo_paragraph = 0xe000\n"
      "smi_port = 0xb2\n";
  for (const char* closing : {"<&- >&-", ">&-", "<&- >&- 2>&-"}) {
    Machine m(out_of_order);
    std::vector<std::string> argv = {"sh", "-c", std::string("exec \"$@\" ") + closing, "sh"};
    // Unwrapped: a wrapper such as valgrind would take the closed descriptor for its own log.
    for (const auto& w : m.command({"/osaved.rom", "/t"}, {}, false)) argv.push_back(w);
    RunResult r = run_command(argv, m.work);
    EXPECT_EQ(r.code, 0) << closing << r.err;
    EXPECT_TRUE(read_file(m.work + "/saved.rom") == m.flash()) << closing;
    EXPECT_TRUE(read_file(m.state + "/lock/zorflashlnx2.lock").empty()) << closing;  // no console in it
  }
}

// The save file: never through a link, never the ROM file being programmed, readable by its
// owner only.
TEST(SaveFile, LinksAndTheRomFileAreRefused) {
  struct Case {
    const char* name;
    std::string save;  // the /o name, set up by prepare
    int code;
    std::string out_start;
  } cases[] = {
      {"link", "/osaved.rom", 50, frame("Unable to create output file\n")},
      {"same name", "/onew.rom", 1, " /o and /i name the same file: a save would overwrite the ROM file\n Usage:"},
      {"hard link", "/ohard.rom", 1, " /o and /i name the same file: a save would overwrite the ROM file\n Usage:"},
  };
  for (const auto& c : cases) {
    Machine m;
    std::string file = read_file(m.mkrom("new.rom", {"--seed", "31"}));
    std::string before = m.flash();
    write_file(m.root + "/victim", "precious");
    std::filesystem::create_symlink(m.root + "/victim", m.work + "/saved.rom");
    std::filesystem::create_hard_link(m.work + "/new.rom", m.work + "/hard.rom");
    m.clear_trace();
    RunResult r = m.run({"/q", c.save, "/inew.rom"});
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(r.out.substr(0, c.out_start.size()), c.out_start) << c.name;
    EXPECT_EQ(read_file(m.root + "/victim"), "precious") << c.name;
    EXPECT_TRUE(read_file(m.work + "/new.rom") == file) << c.name;
    EXPECT_TRUE(m.flash() == before) << c.name;
    if (c.code == 1) {
      EXPECT_TRUE(m.trace().empty()) << c.name;
    }
  }
  Machine m;
  ASSERT_EQ(m.run({"/q", "/osaved.rom"}).code, 0);
  EXPECT_EQ(std::filesystem::status(m.work + "/saved.rom").permissions(), std::filesystem::perms(0600));
}

// /i, /u and /o take regular files only, and nothing the name stands for can make the run wait:
// a FIFO, a directory or a device is refused before the driver is loaded and left as it is; /u
// reports it and the run goes on.
TEST(Files, OnlyRegularOnes) {
  const std::string no_rom = frame("Unable to open ROM file.");
  const std::string no_save = frame("Unable to create output file\n");
  const struct {
    const char* arg;
    const char* kind;
    int code;
    std::string out;
  } cases[] = {
      {"/ix", "fifo", 48, no_rom},
      {"/ix", "directory", 48, no_rom},
      {"/ix", "link to a fifo", 48, no_rom},
      {"/ux", "fifo", 0, frame("File Open Error")},
      {"/ox", "fifo", 50, no_save},
      {"/ox", "directory", 50, no_save},
      {"/ox", "link to a device", 50, no_save},
      {"/ox", "dangling link", 50, no_save},
  };
  for (const auto& c : cases) {
    Machine m;
    std::string x = m.work + "/x", kind = c.kind;
    if (kind == "fifo") {
      ASSERT_EQ(mkfifo(x.c_str(), 0600), 0);
    } else if (kind == "directory") {
      std::filesystem::create_directory(x);
    } else if (kind == "link to a fifo") {
      ASSERT_EQ(mkfifo((m.work + "/fifo").c_str(), 0600), 0);
      std::filesystem::create_symlink(m.work + "/fifo", x);
    } else {
      std::filesystem::create_symlink(kind == "dangling link" ? m.root + "/nothing" : "/dev/null", x);
    }
    auto before = std::filesystem::symlink_status(x).type();
    RunResult r = m.run({"/q", c.arg});
    std::string label = std::string(c.arg) + " " + kind;
    EXPECT_EQ(r.code, c.code) << label;
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(find_line(m.trace(), "system insmod") >= 0, c.code == 0) << label;
    EXPECT_EQ(std::filesystem::symlink_status(x).type(), before) << label;
    EXPECT_FALSE(file_exists(m.work + "/x.partial")) << label;
  }
}

}  // namespace
#endif
