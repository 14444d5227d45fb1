// One run at a time, untrusted directories, closed descriptors, signals, on the virtual PC.
#ifdef ZORVPC
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
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

// The lock file: /run (the machine's run/) made 0755 when missing, whatever the umask, the file
// private to root. What another user could have left there, or a link, or a /run that others
// can change, is refused with 19 and nothing is done; nobody else can open the file root made,
// so nobody else can hold the lock. The victim beside the machine keeps its bytes and mode.
std::string run_of(const std::string& lock_file) { return std::filesystem::path(lock_file).parent_path(); }
std::string victim_of(const std::string& lock_file) {
  return std::filesystem::path(lock_file).parent_path().parent_path().parent_path() / "victim";
}

TEST(OneRunAtATime, LockFile) {
  const std::string lock = "/run/zorflashlnx2.lock";
  const std::string not_ours = frame(lock + " is not a regular file of this user");
  struct Case {
    const char* name;
    bool needs_root;
    void (*plant)(const std::string& lock_file);
    int code;
    std::string out;
  } cases[] = {
      {"missing /run", false, [](const std::string&) {}, 0, ""},
      {"root's file left readable", false, [](const std::string& f) { write_file(f, ""); chmod(f.c_str(), 0644); }, 0, ""},
      {"planted link", false,
       [](const std::string& f) { std::filesystem::create_symlink(f + "/../../victim", f); }, 19,
       frame("Unable to open " + lock + ": Too many levels of symbolic links")},
      {"FIFO", false, [](const std::string& f) { mkfifo(f.c_str(), 0600); }, 19, not_ours},
      {"another user's file", true,
       [](const std::string& f) {
         write_file(f, "");
         if (chown(f.c_str(), 65534, 65534) != 0) return;
       },
       19, not_ours},
      {"root's other file hard-linked", false, [](const std::string& f) {
         if (link(victim_of(f).c_str(), f.c_str()) != 0) return;
       }, 19,
       frame(lock + " has 2 links: it must be the lock's own file")},
      {"/run another user's", true,
       [](const std::string& f) {
         if (chown(run_of(f).c_str(), 65534, 65534) != 0) return;
       },
       19, frame("/run is owned by uid 65534, not by root")},
      {"/run writable by others", false, [](const std::string& f) { chmod(run_of(f).c_str(), 01777); }, 19,
       frame("/run is writable by others (mode 1777)")},
      {"/run writable by another group", true,
       [](const std::string& f) {
         if (chown(run_of(f).c_str(), 0, 65534) == 0) chmod(run_of(f).c_str(), 0775);
       },
       19, frame("/run is writable by others (mode 775)")},
      {"/run writable by root's group", true, [](const std::string& f) { chmod(run_of(f).c_str(), 0775); }, 0, ""},
      {"/run a link to nothing", false,
       [](const std::string& f) {
         std::filesystem::remove(run_of(f));
         std::filesystem::create_symlink("nowhere", run_of(f));
       },
       19, frame("/run is a link to nothing: it must be root's directory")},
  };
  for (const auto& c : cases) {
    if (c.needs_root && geteuid() != 0) continue;
    Machine m;
    std::string file = m.state + "/run/zorflashlnx2.lock";
    write_file(m.root + "/victim", "precious");
    chmod((m.root + "/victim").c_str(), 0644);
    bool missing = std::string(c.name) == "missing /run";
    if (!missing) {
      std::filesystem::create_directory(m.state + "/run");
      c.plant(file);
    }
    mode_t mask = umask(missing ? 077 : 022);
    RunResult r = m.run({"/q"});
    umask(mask);
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(read_file(m.root + "/victim"), "precious") << c.name;
    EXPECT_EQ(std::filesystem::status(m.root + "/victim").permissions(), std::filesystem::perms(0644)) << c.name;
    if (c.code != 0) {
      EXPECT_TRUE(m.trace().empty()) << c.name;
      continue;
    }
    auto made = std::filesystem::status(m.state + "/run").permissions();
    EXPECT_TRUE(!missing || made == std::filesystem::perms(0755)) << c.name;
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600)) << c.name;
    if (geteuid() != 0) continue;
    // Another user who can reach the directory can neither open the lock to hold it nor put a
    // file beside it.
    std::filesystem::permissions(m.root, std::filesystem::perms(0755));
    std::filesystem::permissions(m.state, std::filesystem::perms(0755));
    RunResult held = run_command({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "flock", "-n",
                                  file, "true"}, m.root);
    EXPECT_NE(held.code, 0) << c.name;
    EXPECT_NE(held.err.find("Permission denied"), std::string::npos) << c.name << held.err;
    RunResult again = m.run({"/q"});
    EXPECT_EQ(again.code, 0) << c.name << again.out;
  }
}

// argv run as at a shell, on a terminal of its own: a pty, a new session, the command in the
// foreground. Carriage returns of the terminal's line discipline are dropped from the output.
RunResult run_in_pty(const std::vector<std::string>& argv, const std::string& cwd) {
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (chdir(cwd.c_str()) == 0) execvp(args[0], args.data());
    _exit(127);
  }
  RunResult r{-1, "", ""};
  if (pid < 0) return r;
  char buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);) {
    if (n > 0) r.out.append(buf, static_cast<size_t>(n));
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out.erase(std::remove(r.out.begin(), r.out.end(), '\r'), r.out.end());
  return r;
}

// Every stop signal at every phase of a run that saves and programs the main area and the boot
// block, at a shell's terminal and under nohup (SIGHUP ignored from the start, and so kept).
// Before the first erase: 20 after the whole clean-up, the flash untouched. From the first erase
// on: the run goes to its end with its own code, and a line says that a stop was held. SIGTSTP
// is held too from the first erase on.
TEST(StopSignals, EverySignalAtEveryPhase) {
  const std::vector<std::string> args = {"/q", "/obackup.rom", "/inew.rom", "/pb"};
  const std::string stopped = frame("Stopped by a signal; the flash was not changed");
  const std::string held = "\n Stop signal held until programming ended\n";
  // A stop before the first erase is acted on at the next flash command or file piece: reads
  // is how many flash reads the run made in all, saved how many bytes reached the save file
  // (-1: not checked). The platform calls are counted from the start of a run on a fresh machine.
  const struct {
    const char* name;
    std::string fault;  // the signal's number is appended
    bool before_erase;
    int reads;
    long saved;
  } phases[] = {
      {"the run lock", "signal_call=fstat:2:", true, 0, -1},
      {"I/O privilege", "signal_call=iopl:1:", true, 0, -1},
      {"opening the ROM file", "signal_call=open:5:", true, 0, -1},
      {"checking the save's name", "signal_call=lstat:3:", true, 0, -1},
      {"the device list", "signal_call=fopen:2:", true, 0, -1},
      {"insmod", "signal_call=system:1:", true, 0, -1},
      {"the node", "signal_call=mknod:1:", true, 0, -1},
      {"/dev/mem", "signal_call=fopen:4:", true, 0, -1},
      {"the transfer buffer", "signal_call=ioctl:1:", true, 0, -1},
      {"discovery: open", "signal_at=open:1:", true, 0, -1},
      {"discovery: ROM ID", "signal_at=read:1:", true, 1, -1},
      {"loading the ROM file", "signal_file=new.rom:read:1:", true, -1, -1},
      {"the save's reads", "signal_at=read:200:", true, 200, -1},
      {"writing the save", "signal_file=backup.rom.partial-*:write:100:", true, -1, 100 * 4096},
      {"the save's directory sync", "signal_call=fsync:2:", true, -1, -1},
      {"closing the ROM file, just before the hold", "signal_call=fclose:6:", true, -1, -1},
      {"first erase", "signal_at=erase:1:", false, -1, -1},
      {"between the passes", "signal_at=erase:6:", false, -1, -1},  // the last main erase
      {"verify", "signal_at=read:600:", false, -1, -1},
      {"boot-block passes", "signal_at=erase:7:", false, -1, -1},
      {"clean-up", "signal_at=close:1:", false, -1, -1},
      {"the clean-up's free", "signal_call=ioctl:2:", false, -1, -1},
      {"rmmod", "signal_call=system:2:", false, -1, -1},
      {"after rmmod", "signal_call=iopl:2:", false, -1, -1},
  };
  std::string programmed;
  {
    Machine ref;
    ref.mkrom("new.rom", {"--seed", "31"});
    ASSERT_EQ(ref.run(args).code, 0);
    programmed = ref.flash();
  }
  int tried = 0, failed = 0;
  for (bool nohup : {false, true}) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP}) {
      for (const auto& p : phases) {
        if (sig == SIGTSTP && (nohup || p.before_erase)) continue;  // not a stop signal
        std::string label = std::string(nohup ? "nohup, " : "pty, ") + strsignal(sig) + ", " + p.name;
        Machine m;
        m.mkrom("new.rom", {"--seed", "31"});
        std::string before = m.flash();
        write_file(m.work + "/backup.rom", "old backup");  // a stopped save must leave it
        std::vector<std::string> argv = m.command(args, {p.fault + std::to_string(sig)}, false);
        if (nohup) argv.insert(argv.begin(), "nohup");
        RunResult r = nohup ? run_command(argv, m.work) : run_in_pty(argv, m.work);
        bool ignored = nohup && sig == SIGHUP;
        // On the terminal the launcher's line about the signal it sent follows the tool's output.
        std::string out = r.out;
        size_t told = out.find("zorvpc: fault signal_");
        if (told != std::string::npos) out.erase(told);
        auto t = m.trace();
        // Whatever was taken was given back: the interface closed, the module out, the node gone.
        bool ok = !file_exists(m.work + "/zorfl") && !t.empty() && t.back() == "iopl 0 = 0" &&
                  (find_line(t, "smi 0x20") < 0 || find_line(t, "smi 0x24 status=0") >= 0) &&
                  m.module_state().find("loaded = 0") != std::string::npos;
        if (p.before_erase && !ignored) {
          std::string backup = read_file(m.work + "/backup.rom");  // the old one, or a whole save
          ok &= r.code == 20 && out.find(stopped) != std::string::npos && m.flash() == before &&
                (backup == "old backup" || backup == before) && find_line(t, "smi 0x22") == -1 &&
              (p.reads < 0 || lines_starting(t, "smi 0x21").size() == static_cast<size_t>(p.reads)) &&
              (p.saved < 0 || static_cast<long>(read_file(partial_of(m.work, "backup.rom")).size()) == p.saved);
        } else {
          ok &= r.code == 0 && out == (ignored ? "" : held) && m.flash() == programmed && (told != std::string::npos) == !nohup &&
                read_file(m.work + "/backup.rom") == before;
        }
        EXPECT_TRUE(ok) << label << ": exit " << r.code << ", output \"" << r.out << "\"";
        ++tried;
        failed += !ok;
      }
    }
  }
  printf("\nStop signals at every phase: %d runs, %d as expected\n", tried, tried - failed);
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
      {{"/q", "/inew.rom", "/pbn"}, {"write_fail=0xf8000"}, 68,
       frame("Unable to write block: 0x000F8000\n") + rerun_line("zorflashlnx2 /q /inew.rom /pbn")},
      {{"/q", "/inew.rom", "/pbn"}, {}, 4, erased + rom_id},
      {{"/q", "/inew.rom", "/pbn", "/d"}, {}, 129, erased},
      {{"/q", "/inew.rom", "/pbn", "/n"}, {}, 0, ""},
  };
  for (const auto& s : steps) {
    // A run that may touch the flash first names the failed one.
    bool named = s.code != 68 && s.args.back() != "/d";
    std::string line = named ? next_run_line(m, "To program it again, in " + m.work + ": zorflashlnx2 /q /inew.rom /pbn") : "";
    RunResult r = m.run(s.args, s.faults);
    EXPECT_EQ(r.code, s.code) << s.args.back();
    EXPECT_EQ(r.out, line + s.out) << s.args.back();
  }
  EXPECT_TRUE(m.flash() == file);
}

// Module files in the working directory are loaded only when nobody else can have put or
// changed them there, and insmod gets the very file that was checked: another user's module,
// swapped in right after the check (zorfldrv_mod.swap), is never the one loaded.
TEST(ModuleFiles, UntrustedOnesAreNotLoaded) {
  const std::string dir_line = "the directory is writable by other users\n";
  const std::string owner_line = "the directory is owned by another user\n";
  const std::string no_load = "error loading driver\n no zorfldrv_mod for this kernel (" + kernel_release() +
                              "): install linux-headers-" + kernel_release() + " and zorfldrv-dkms\n" +
                              frame("Unable to load driver\n");
  struct Case {
    const char* name;
    void (*plant)(const std::string& work);
    std::string out;
    int code;
    bool by_name;  // the second file, zorfldrv_mod, is loaded
    std::vector<std::string> machine;
    bool needs_root;
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
       16, false, {}, false},
      {"group-writable directory, no module file, module installed",
       [](const std::string& w) {
         std::filesystem::remove(w + "/zorfldrv_mod");
         std::filesystem::permissions(w, std::filesystem::perms(0775));
       },
       "", 0, false, {"module_installed = 1"}, false},
      {"file writable by others",
       [](const std::string& w) {
         write_file(w + "/zorfldrv_mod.o", "module");
         std::filesystem::permissions(w + "/zorfldrv_mod.o", std::filesystem::perms(0646));
       },
       " not loading ./zorfldrv_mod.o: it is writable by other users\n", 0, true, {}, false},
      {"planted link",
       [](const std::string& w) {
         write_file(w + "/../module", "module");
         std::filesystem::create_symlink(w + "/../module", w + "/zorfldrv_mod.o");
       },
       " not loading ./zorfldrv_mod.o: it is not a regular file\n", 0, true, {}, false},
      {"swapped right after the check", [](const std::string&) {}, "", 0, true, {}, false},
      {"other owner",
       [](const std::string& w) {
         write_file(w + "/zorfldrv_mod.o", "module");
         if (chown((w + "/zorfldrv_mod.o").c_str(), 65534, 65534) != 0) return;
       },
       " not loading ./zorfldrv_mod.o: it is not owned by the user running this tool\n", 0, true, {}, true},
      {"directory of another user, root's files, swapped right after the check",
       [](const std::string& w) {
         if (chown(w.c_str(), 65534, 65534) != 0) return;
       },
       " not loading ./zorfldrv_mod: " + owner_line + no_load, 16, false, {}, true},
  };
  for (const auto& c : cases) {
    if (c.needs_root && geteuid() != 0) continue;  // cannot give a file away
    Machine m(TEST_MACHINE, c.machine);
    write_file(m.work + "/zorfldrv_mod.swap", "user module");
    c.plant(m.work);
    RunResult r = m.run({"/q"}, {"swap_at_check=zorfldrv_mod"});
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    // A refused file is never given to insmod; the swapped-in module never loads.
    auto t = m.trace();
    EXPECT_EQ(find_line(t, "system insmod fd:zorfldrv_mod.o"), -1) << c.name;
    EXPECT_EQ(find_line(t, "module loaded from \"user module\""), -1) << c.name;
    EXPECT_EQ(find_line(t, "module loaded from \"module object\"") >= 0, c.by_name) << c.name;
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
    EXPECT_TRUE(read_file(m.state + "/run/zorflashlnx2.lock").empty()) << closing;  // no console in it
  }
}

// The save file: never through a link, never the ROM file being programmed nor one named as the
// save's partial file, readable by its owner only, and only in a directory where no other user
// can put a file of theirs in the backup's place. In a sticky directory a name planted where the
// partial file once went is left alone.
TEST(SaveFile, LinksTheRomFileAndOpenDirectoriesAreRefused) {
  const std::string same = " /o and /i name the same file: a save would overwrite the ROM file\n Usage:";
  const std::string no_save = frame("Unable to create output file\n");
  struct Case {
    const char* name;
    std::string save;  // the /o name, set up by prepare
    std::string input;
    bool needs_root;
    int code;
    std::string out_start;
  } cases[] = {
      {"link", "/osaved.rom", "/inew.rom", false, 50, no_save},
      {"same name", "/onew.rom", "/inew.rom", false, 1, same},
      {"hard link", "/ohard.rom", "/inew.rom", false, 1, same},
      {"the save's partial name", "/onew.rom", "/inew.rom.partial", false, 1,
       " /i names a partial file of the /o save: rename the ROM file first\n Usage:"},
      {"another user's directory", "/oother/saved.rom", "/inew.rom", true, 50,
       " not saving to other/saved.rom: the directory is owned by another user\n" + no_save},
      {"group-writable directory", "/oshared/saved.rom", "/inew.rom", false, 50,
       " not saving to shared/saved.rom: the directory is writable by other users\n" + no_save},
      {"sticky directory, partial name planted", "/otmp/saved.rom", "/inew.rom", false, 0, ""},
  };
  for (const auto& c : cases) {
    if (c.needs_root && geteuid() != 0) continue;
    Machine m;
    std::string file = read_file(m.mkrom("new.rom", {"--seed", "31"}));
    std::string before = m.flash();
    write_file(m.root + "/victim", "precious");
    std::filesystem::create_symlink(m.root + "/victim", m.work + "/saved.rom");
    std::filesystem::create_hard_link(m.work + "/new.rom", m.work + "/hard.rom");
    write_file(m.work + "/new.rom.partial", file);
    for (const char* dir : {"other", "shared", "tmp"}) std::filesystem::create_directory(m.work + "/" + dir);
    chmod((m.work + "/shared").c_str(), 0775);
    chmod((m.work + "/tmp").c_str(), 01777);
    write_file(m.work + "/tmp/saved.rom.partial", "planted");
    if (geteuid() == 0) {
      EXPECT_EQ(chown((m.work + "/other").c_str(), 65534, 65534), 0);
      EXPECT_EQ(chown((m.work + "/tmp/saved.rom.partial").c_str(), 65534, 65534), 0);
    }
    m.clear_trace();
    RunResult r = m.run({"/q", c.save, c.input});
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(r.out.substr(0, c.out_start.size()), c.out_start) << c.name;
    EXPECT_EQ(read_file(m.root + "/victim"), "precious") << c.name;
    EXPECT_TRUE(read_file(m.work + "/new.rom") == file && read_file(m.work + "/new.rom.partial") == file) << c.name;
    EXPECT_EQ(read_file(m.work + "/tmp/saved.rom.partial"), "planted") << c.name;
    if (c.code == 0) {
      EXPECT_TRUE(read_file(m.work + "/tmp/saved.rom") == before) << c.name;
      continue;
    }
    EXPECT_TRUE(m.flash() == before) << c.name;
    EXPECT_EQ(find_line(m.trace(), "system insmod"), -1) << c.name;
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
    EXPECT_EQ(partial_of(m.work, "x"), "") << label;
  }
}

}  // namespace
#endif
