// The way back after a programming run that did not finish: the run record, the lines that name
// the backup, the backup never replaced by the same command again, and no erase on battery power.
#ifdef ZORVPC
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <thread>

#include "vpc.h"

namespace {

// The tool process the launcher started, once it has stopped itself (SIGSTOP); -1 if never.
int stopped_child(int launcher) {
  for (int i = 0; i < 2000; ++i) {
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
      std::ifstream in(e.path() / "stat");
      std::string stat;
      std::getline(in, stat);
      size_t close = stat.rfind(')');
      if (close == std::string::npos || close + 4 >= stat.size()) continue;
      char state = stat[close + 2];
      int parent = std::atoi(stat.c_str() + close + 4);
      if (parent == launcher && state == 'T') return std::atoi(stat.c_str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

// A run that saves and programs everything ends four ways. Each leaves a record; after each
// but a finished one the next run names it, the same command ends 50 with the backup kept,
// the restore command it gives brings the chip back byte for byte, and a new update works.
TEST(WayBack, RecordAndNextRunAfterEachEnd) {
  const std::vector<std::string> update = {"/q", "/oold.rom", "/inew.rom", "/pbn"};
  struct Case {
    const char* name;
    std::vector<std::string> faults;
    bool sigkill;     // stopped at the first erase, then killed
    int code;
    std::string out;  // W stands for the working directory
    std::string outcome;
    std::string changes;  // the end of the summary of zorvpc show changes
  } cases[] = {
      {"finished", {}, false, 0, "", "finished", "0 erased, 10 rewritten, 0 untouched; the run erased or rewrote the boot block\n"},
      {"68", {"write_fail=0xa0000"}, false, 68,
       frame("Unable to write block: 0x000A0000\n") +
           " The flash may be partly programmed. The BIOS as it was before the update is in W/old.rom; to restore "
           "it: zorflashlnx2 /iW/old.rom /pbn\n",
       "failed with exit 68 at block 0x000A0000", "6 erased, 2 rewritten, 2 untouched\n"},
      {"power cut", {"power_loss=70"}, false, 128 + 9, "", "running",
       "6 erased, 1 rewritten, 1 partly written, 0 partly erased, 2 untouched; the power was cut while writing "
       "0x00091400\n"},
      {"SIGKILL", {"signal_at=erase:1:19"}, true, 128 + 9, "", "running",
       "1 erased, 0 rewritten, 9 untouched; the run was cut before it closed the flash interface\n"},
  };
  for (const auto& c : cases) {
    Machine m;
    std::string file = read_file(m.mkrom("new.rom", {"--seed", "43"}));
    std::string before = m.flash();
    write_file(m.state + "/captured.rom", before);  // so that show changes compares with it
    auto subst = [&](std::string text) {
      // From past each replacement: the work directory's own name may hold "W/".
      for (size_t at = 0; (at = text.find("W/", at)) != std::string::npos; at += m.work.size()) {
        text.replace(at, 1, m.work);
      }
      return text;
    };
    RunResult r;
    if (c.sigkill) {
      Started s = start_command(m.command(update, c.faults), m.work, false);
      int tool = stopped_child(s.pid);
      ASSERT_GT(tool, 0) << c.name;
      kill(tool, SIGKILL);
      r = finish_command(s);
    } else {
      r = m.run(update, c.faults);
    }
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(r.out, subst(c.out)) << c.name;
    EXPECT_EQ(record_field(m, "outcome"), c.outcome) << c.name;
    EXPECT_EQ(record_field(m, "command"), "zorflashlnx2 /q /oold.rom /inew.rom /pbn") << c.name;
    EXPECT_EQ(record_field(m, "backup"), m.work + "/old.rom") << c.name;
    EXPECT_EQ(record_field(m, "rom_id_before") + record_field(m, "rom_id_file"), "ZX512A01ZX512A01") << c.name;
    std::string changes = m.vpc({"show", m.state, "changes"}).out;
    EXPECT_EQ(changes.substr(changes.rfind('\n', changes.size() - 2) + 1), c.changes) << c.name;
    EXPECT_TRUE(read_file(m.work + "/old.rom") == before) << c.name;

    // The same command again: a normal second update after a finished run, else refused.
    std::string time = record_field(m, "time");
    std::string how = c.code == 68 ? "failed with exit 68 at block 0x000A0000" : "did not finish";
    std::string restore = "zorflashlnx2 /i" + m.work + "/old.rom /pbn";
    std::string line = " The run of " + time + " (zorflashlnx2 /q /oold.rom /inew.rom /pbn) " + how +
                       ": the flash may be partly programmed. To restore the backup: " + restore + "\n";
    if (c.code == 0) {
      EXPECT_EQ(m.run(update).code, 0) << c.name;
      EXPECT_TRUE(read_file(m.work + "/old.rom") == file) << c.name;
      continue;
    }
    m.clear_trace();
    RunResult again = m.run(update);
    EXPECT_EQ(again.code, 50) << c.name;
    EXPECT_EQ(again.out, line + " old.rom holds the BIOS as it was before the run of " + time + ", which " + how +
                             "; it is kept. To restore it: " + restore +
                             ". For a new save, name another file with /o\n" + frame("Unable to create output file\n"))
        << c.name;
    EXPECT_EQ(find_line(m.trace(), "system insmod"), -1) << c.name;
    EXPECT_TRUE(read_file(m.work + "/old.rom") == before) << c.name;

    // What a killed run leaves behind goes first (the node; after SIGKILL the module too).
    std::remove((m.work + "/zorfl").c_str());
    if (c.sigkill) m.vpc({"reboot", m.state});
    RunResult back = m.run({"/q", "/iold.rom", "/pbn"});
    EXPECT_EQ(back.code, 0) << c.name << back.out;
    EXPECT_EQ(back.out, line) << c.name;
    EXPECT_TRUE(m.flash() == before) << c.name;
    RunResult next = m.run({"/q", "/obackup.rom", "/inew.rom"});
    EXPECT_EQ(next.code, 0) << c.name;
    EXPECT_EQ(next.out, "") << c.name;
  }
}

// The way back is known by its content, from a failed update on: whatever the directory's name,
// later runs, moves and swaps do, the restore command the tool prints, run as printed, brings
// the flash back to the bytes of before the update. A step "RESTORE" runs that command.
TEST(WayBack, KnownByItsContent) {
  const std::vector<std::string> update = {"/q", "/obackup.rom", "/inew.rom", "/pbn"};
  const std::vector<std::string> fail = {"write_fail=0xa0000"};
  struct Step {
    std::vector<std::string> args, faults;
    int code;
    std::string has;  // a piece of the output ("" for none)
    std::string shell = "";  // run by sh in the directory before the step
  };
  struct Case {
    const char* name;
    std::string dir;  // below the work directory, made for the case
    std::vector<Step> steps;
    bool root = false;  // gives a directory away
  } cases[] = {
      {"a tab in the directory's name", "bios\tA",
       {{update, fail, 68, "\\011A/backup.rom')\" /pbn\n"}, {update, {}, 50, "holds the BIOS as it was"}, {{"RESTORE"}, {}, 0, ""}}},
      {"C1 controls in the directory's name", "c1\xc2\x9b" "31m\xc2\x9d" "0;x\x07",
       {{update, fail, 68, "\\302\\233"}, {update, {}, 50, "\\302\\235"}, {{"RESTORE"}, {}, 0, ""}}},
      {"a run that programs nothing keeps the protection", "b",
       {{update, fail, 68, ""}, {{"/q", "/inew.rom", "/k5"}, {}, 0, "did not program every block"},
        {{"/q", "/obackup.rom", "/t"}, {}, 50, "holds the BIOS"}, {{"RESTORE"}, {}, 0, ""}}},
      {"moved away, a second failure with a new /o and without /pbn", "b",
       {{update, fail, 68, ""},
        {{"/q", "/osecond.rom", "/inew.rom"}, fail, 68, "backup.rom, which is missing", "mv backup.rom ../away.rom"},
        {{"RESTORE"}, {}, 0, "", "mv ../away.rom backup.rom"}}},
      {"swapped for another file", "b",
       {{update, fail, 68, ""}, {{"RESTORE"}, {}, 48, "is not the backup this machine made", "mv backup.rom k; cp new.rom backup.rom"},
        {{"RESTORE"}, {}, 0, "", "mv k backup.rom"}}},
      {"a path too long for /i, the ROM ID's block erased", std::string(100, 'L'),
       {{update, {"write_fail=0xf8000"}, 68, "to restore it: cd "}, {{"RESTORE"}, {}, 0, ""}}},
      {"a power cut, then the same command", "b",
       {{update, {"power_loss=70"}, 137, ""}, {update, {}, 50, "holds the BIOS", "zorvpc reboot \"$STATE\""},
        {{"RESTORE"}, {}, 0, "a device node zorfl left by an earlier, interrupted run was removed\n"}}},
      {"the directory is the logged-in user's", "b",
       {{update, fail, 68, "", "chown 65534 . && echo 65534 >\"$STATE/loginuid\""}, {{"RESTORE"}, {}, 0, ""}}, true},
      {"a directory above belongs to another user", "other/b",
       {{update, fail, 50, "above it is owned by another user\n", "chown 65534 .."}}, true},
  };
  for (const auto& c : cases) {
    if (c.root && geteuid() != 0) continue;
    Machine m(TEST_MACHINE, {"module_installed = 1"});
    std::string dir = m.work + "/" + c.dir;
    std::filesystem::create_directories(dir);
    write_file(dir + "/new.rom", read_file(m.mkrom("new.rom", {"--seed", "53", "--nc", "0x10000:0x10000"})));
    write_file(dir + "/zorfldrv_mod", "module object");
    std::string before = m.flash(), out, restore;
    for (const auto& s : c.steps) {
      std::string sh = "STATE='" + m.state + "'; PATH='" + std::filesystem::path(ZORVPC_PATH).parent_path().string() +
                       "':$PATH; " + s.shell;
      ASSERT_EQ(run_command({"sh", "-c", sh}, dir).code, 0) << c.name << s.shell;
      RunResult r;
      if (s.args[0] == "RESTORE") {
        std::string tool;
        for (const auto& w : tool_command()) tool += "'" + w + "' ";
        r = run_command({ZORVPC_PATH, "run", m.state, "--", "sh", "-c",
                         "zorflashlnx2() { " + tool + "\"$@\"; }; " + restore}, dir);
      } else {
        r = run_command(m.command(s.args, s.faults), dir);
      }
      EXPECT_EQ(r.code, s.code) << c.name << ": " << s.args[0] << "\n" << r.out;
      EXPECT_NE(r.out.find(s.has), std::string::npos) << c.name << ": " << s.args[0] << "\n" << r.out;
      // Whatever the names hold, the terminal gets no control character but the line ends.
      for (char ch : r.out) ASSERT_TRUE(ch == '\n' || ch == '\r' || static_cast<unsigned char>(ch) >= 0x20) << c.name;
      EXPECT_EQ(r.out.find("\xc2\x9b"), std::string::npos) << c.name;
      for (const char* mark : {"restore it: ", "To restore the backup: "}) {
        size_t at = r.out.rfind(mark);
        if (at != std::string::npos) restore = r.out.substr(at + strlen(mark), r.out.find('\n', at) - at - strlen(mark));
      }
    }
    if (c.steps.back().args[0] == "RESTORE") {
      EXPECT_TRUE(m.flash() == before) << c.name << ": " << restore;
      EXPECT_TRUE(read_file(dir + "/backup.rom") == before) << c.name;
      EXPECT_EQ(record_field(m, "pending"), "0") << c.name;
    }
  }
}

// No erase on battery power: a system battery without AC online ends the run with 21 before
// anything is touched, whatever the charge; on AC a low battery draws a warning. A device's
// battery, a desktop, the override and the runs that never erase are not stopped. Where the
// state directory cannot be written the run goes on and says so.
TEST(WayBack, BatteryPowerAndUnwritableState) {
  const std::string battery = frame("On battery power: connect the charger and run again");
  struct Case {
    const char* name;
    std::vector<std::string> faults;
    std::vector<std::string> args;
    int code;
    std::string out;
  } cases[] = {
      {"discharging at 3 %", {"battery=3"}, {"/q", "/inew.rom"}, 21, battery},
      {"discharging at 50 %", {"battery=50"}, {"/q", "/inew.rom"}, 21, battery},
      {"charger offline", {"battery=80", "ac=0"}, {"/q", "/inew.rom"}, 21, battery},
      {"AC online at 3 %", {"battery=3", "ac=1"}, {"/q", "/inew.rom"}, 0,
       " The battery is at 3 %: keep the charger connected until the run ends\n"},
      {"AC online at 10 %", {"battery=10", "ac=1"}, {"/q", "/inew.rom"}, 0, ""},
      {"a device battery only", {"device_battery=3"}, {"/q", "/inew.rom"}, 0, ""},
      {"no battery", {}, {"/q", "/inew.rom"}, 0, ""},
      {"override", {"battery=3"}, {"/q", "/inew.rom", "/a"}, 0, ""},
      {"save, compare, ROM IDs", {"battery=3"}, {"/q", "/osaved.rom", "/inew.rom", "/d", "/unew.rom", "/t"}, 0,
       "\n ROM ID = ZX512A01"},
      {"state directory unwritable, said with /q", {"state_is_file"}, {"/q", "/inew.rom"}, 0,
       " No run record: /var/lib/zorflashlnx2 cannot be written (Not a directory); the run goes on without it\n"},
  };
  for (const auto& c : cases) {
    Machine m;
    std::string file = read_file(m.mkrom("new.rom", {"--seed", "47"}));
    std::string before = m.flash();
    std::vector<std::string> faults = c.faults;
    bool no_state = !faults.empty() && faults[0] == "state_is_file";
    if (no_state) {
      write_file(m.state + "/zorflashlnx2", "");
      faults.clear();
    }
    RunResult r = m.run(c.args, faults);
    EXPECT_EQ(r.code, c.code) << c.name;
    if (no_state) {
      EXPECT_NE(r.out.find(c.out), std::string::npos) << c.name << r.out;
    } else {
      EXPECT_EQ(r.out, c.out) << c.name;
    }
    bool programs = c.code == 0 && c.args.back() != "/t";
    EXPECT_TRUE(m.flash().substr(0, 0x60000) == (programs ? file : before).substr(0, 0x60000)) << c.name;
    if (c.code != 0) {
      EXPECT_EQ(find_line(m.trace(), "system insmod"), -1) << c.name;
    }
  }
}

}  // namespace
#endif
