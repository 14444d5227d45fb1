// Every fault the virtual PC can inject, at the first, a middle and the last piece or position
// where it applies, under /i and under /o /i. Each case checks the exit code and the exact
// output, that the run ended clean (no node, module unloaded, interface closed whenever a buffer
// was held, I/O privilege dropped last), that nothing outside the selection was touched, that a
// backup made in the same run is complete whenever the flash was changed, and that the same
// command on a healthy machine then finishes the job. Each test prints its rows of the summary.
#ifdef ZORVPC
#include <gtest/gtest.h>

#include <cstdio>

#include "vpc.h"

namespace {

constexpr uint32_t ROM_BASE = 0x80000;
constexpr uint32_t SELECTED_END = 0xE0000;  // /i programs the six main blocks below this
constexpr uint32_t MAIN_PIECES = 6 * 64;    // SMI writes of a whole /i run
const std::string NO_INFO = frame("BIOS has no flash information available");
const std::string HELD_LINE = "\n Stop signal held until programming ended\n";
const std::string SAVE_LEFT = saved_left("backup.rom");

struct Expect {
  int code;
  std::string out;
};

struct Fault {
  std::string family;    // first column of the summary
  std::string position;  // where in the run it strikes
  std::string fault;     // zorvpc --fault text
  Expect plain;          // /i
  Expect with_save;      // /o /i
};

Fault both(const std::string& family, const std::string& position, const std::string& fault,
           const Expect& e) {
  return {family, position, fault, e, e};
}

std::string hex8(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

uint32_t block_of(uint32_t address) { return address & ~0xFFFFu; }  // 64 KB main blocks

// Flash addresses of the erase and write commands in the trace.
std::vector<uint32_t> changing_commands(const std::vector<std::string>& trace) {
  std::vector<uint32_t> v;
  for (const char* code : {"smi 0x22 addr=", "smi 0x23 addr="}) {
    for (const auto& l : lines_starting(trace, code)) {
      v.push_back(static_cast<uint32_t>(std::stoul(l.substr(14, 10), nullptr, 16)));
    }
  }
  return v;
}

// No node, module unloaded, the interface closed and its buffer given back whenever one was
// held, the I/O privilege dropped as the very last step.
bool ended_clean(const Machine& m, const std::vector<std::string>& t, const std::string& fault,
                 const std::string& label) {
  bool ok = !file_exists(m.work + "/zorfl");
  ok &= m.module_state().find("loaded = 0") != std::string::npos;
  bool never_raised = fault == "iopl_fail";
  ok &= !t.empty() && t.back() == (never_raised ? "iopl 0 = -1" : "iopl 0 = 0");
  int alloc = find_line(t, "ioctl 0x4160 size=1024 = 0 ");
  if (alloc >= 0 && find_line(t, "mmap node 0x400 = ok", alloc) >= 0) {
    int close = find_line(t, "smi 0x24", alloc);
    ok &= close > alloc;
    // A refused close keeps the buffer, as the handler may still use it.
    if (fault.rfind("close_status=", 0) != 0) ok &= close >= 0 && find_line(t, "ioctl 0x4161", close) > close;
  }
  EXPECT_TRUE(ok) << label << ": not a clean end\n" << m.module_state() << (t.empty() ? "" : t.back());
  return ok;
}

struct Row {
  std::string family, position;
  int tried = 0, as_expected = 0, nothing_lost = 0;
};

// One command under one fault, then the same command on a healthy machine. Returns whether
// nothing was lost; adds the outcome to the row.
void run_case(const Fault& f, bool save, Row& row) {
  std::string label = f.fault + (save ? " /o /i" : " /i");
  const Expect& want = save ? f.with_save : f.plain;
  Machine m;
  std::string file = read_file(m.mkrom("new.rom", {"--seed", "41"}));
  std::string before = m.flash();
  std::vector<std::string> args = {"/q", "/inew.rom"};
  if (save) args.insert(args.begin() + 1, "/obackup.rom");

  RunResult r = m.run(args, {f.fault});
  // A failed erase, write or verify names the way back after its frame.
  std::string want_out = want.out;
  std::string held = want_out.size() >= HELD_LINE.size() && want_out.compare(want_out.size() - HELD_LINE.size(), std::string::npos, HELD_LINE) == 0 ? HELD_LINE : "";
  if (want.code >= 67 && want.code <= 69) {
    want_out.resize(want_out.size() - held.size());
    want_out += (save ? restore_line(m.work + "/backup.rom", "") : rerun_line("zorflashlnx2 /q /inew.rom")) + held;
  }
  EXPECT_EQ(r.code, want.code) << label;
  EXPECT_EQ(masked(r.out), want_out) << label;
  auto t = m.trace();
  bool killed = r.code == 128 + 9;  // power loss: no clean-up can run
  bool expected = r.code == want.code && masked(r.out) == want_out && (killed || ended_clean(m, t, f.fault, label));

  std::string after = m.flash();
  size_t cut = SELECTED_END - ROM_BASE;
  bool untouched = after.compare(cut, std::string::npos, before, cut, std::string::npos) == 0;
  for (uint32_t a : changing_commands(t)) untouched &= a >= ROM_BASE && a < SELECTED_END;
  EXPECT_TRUE(untouched) << label << ": a block outside the selection was touched";

  // The flash may change only once a complete backup is on the disk.
  bool programmed = find_line(t, "smi 0x22") >= 0;
  bool backup_ok = programmed ? !save || read_file(m.work + "/backup.rom") == before : after == before;
  EXPECT_TRUE(backup_ok) << label << (programmed ? ": backup incomplete" : ": flash changed");

  // The same command, healthy. After a power cut the machine rebooted and the node left in the
  // working directory is stale: the tool stops at it (error 17 creating node), so it goes first.
  // When the flash was touched, the run's own backup is the way back: the same command with /o
  // ends 50 and keeps it, and the command without /o finishes the job after a line that names it.
  if (killed) std::remove((m.work + "/zorfl").c_str());
  std::string way_back = "To program it again, in " + m.work + ": zorflashlnx2 /q /inew.rom";
  bool unfinished = programmed && (killed || (r.code >= 67 && r.code <= 69));
  if (unfinished && save) {
    way_back = "To restore the backup: zorflashlnx2 /i" + m.work + "/backup.rom";
    std::string kept = " backup.rom holds the BIOS as it was before the run of " + record_field(m, "time") +
                       ", which " + (killed ? "did not finish" : record_field(m, "outcome")) +
                       "; it is kept. To restore it: zorflashlnx2 /i" + m.work + "/backup.rom. For a new save, name another file with /o\n";
    RunResult refused = m.run(args);
    EXPECT_EQ(refused.code, 50) << label;
    EXPECT_EQ(refused.out, next_run_line(m, way_back) + kept + frame("Unable to create output file\n")) << label;
    backup_ok &= read_file(m.work + "/backup.rom") == before;
    args.erase(args.begin() + 1);
  }
  std::string line = unfinished ? next_run_line(m, way_back) : "";
  m.clear_trace();
  RunResult again = m.run(args);
  after = m.flash();
  bool finished = again.code == 0 && again.out == line &&
                  after.compare(0, cut, file, 0, cut) == 0 &&
                  after.compare(cut, std::string::npos, before, cut, std::string::npos) == 0;
  EXPECT_TRUE(finished) << label << ": the healthy run did not finish the job: " << again.code << again.out;
  finished &= ended_clean(m, m.trace(), "", label + " (healthy run)");

  row.tried++;
  row.as_expected += expected;
  row.nothing_lost += untouched && backup_ok && finished;
}

void run_matrix(const char* title, const std::vector<Fault>& faults) {
  std::vector<Row> rows;
  for (const auto& f : faults) {
    Row row{f.family, f.position};
    run_case(f, false, row);
    run_case(f, true, row);
    rows.push_back(row);
  }
  Row total{"total", ""};
  printf("\n%s: each fault under /i and under /o /i\n", title);
  printf("  %-20s %-14s %5s %11s %12s\n", "fault", "position", "tried", "as expected", "nothing lost");
  for (const auto& row : rows) {
    printf("  %-20s %-14s %5d %11d %12d\n", row.family.c_str(), row.position.c_str(), row.tried,
           row.as_expected, row.nothing_lost);
    total.tried += row.tried;
    total.as_expected += row.as_expected;
    total.nothing_lost += row.nothing_lost;
  }
  printf("  %-20s %-14s %5d %11d %12d\n\n", total.family.c_str(), "", total.tried, total.as_expected,
         total.nothing_lost);
  fflush(stdout);
  EXPECT_EQ(total.nothing_lost, total.tried);
}

TEST(FaultMatrix, PlatformAndDiscovery) {
  const std::string load = frame("Unable to load driver\n");
  const std::string close_if = frame("Unable to close BIOS flash interface\n");
  const std::string close_map = frame("Unable to close BIOS mapping\n");
  const std::string range = frame("BIOS flash information is out of range") + NO_INFO;
  const std::string no_sig = frame("QZX Signature not found") + NO_INFO;
  std::vector<Fault> faults = {
      both("iopl_fail", "-", "iopl_fail",
           {17, " error 1 raising the I/O privilege level: Operation not permitted\n the kernel grants it "
                "only to root with CAP_SYS_RAWIO, and to no program while it is locked down\n" +
                    frame("Unable to raise I/O privilege level")}),
      both("insmod_fail", "first command", "insmod_fail=first", {0, ""}),
      both("insmod_fail", "both commands", "insmod_fail=both",
           {16, "error loading driver\n zorfldrv_mod did not load: insmod: ERROR: could not insert "
                "module zorfldrv_mod: Invalid module format\n" + load}),
      both("not_listed", "-", "not_listed", {16, "error driver zorfldrv not found\n" + load}),
      both("node_unopenable", "-", "node_unopenable", {16, "error 13 opening driver: Permission denied\n" + load}),
      // The ROM file checked, then unreadable in the main area while it is loaded.
      both("file_read_fail", "0x10000", "file_read_fail=new.rom:0x10000", {49, frame("Unable to read from disk\n")}),
      both("no_devmem", "-", "no_devmem", {32, " error opening /dev/mem!\n" + frame("Unable to initialize memory manager\n")}),
      both("map_fail", "bios", "map_fail=bios", {38, " error mapping physical memory!\n" + NO_INFO}),
      both("map_fail", "info", "map_fail=info", {40, " error mapping physical memory, E000!\n" + NO_INFO}),
      both("no_signature", "-", "no_signature", {2, no_sig}),
      both("signature_at", "first 0x0000", "signature_at=0", {0, ""}),
      both("signature_at", "middle 0x8000", "signature_at=0x8000", {0, ""}),
      // The last place where header and parameter block lie inside the 0xFFFF-byte window, one
      // byte further, the last place searched, and past the search.
      both("signature_at", "last 0xFFEE", "signature_at=0xffee", {0, ""}),
      both("signature_at", "0xFFEF", "signature_at=0xffef", {2, range}),
      both("signature_at", "0xFFFA", "signature_at=0xfffa", {2, range}),
      both("signature_at", "0xFFFB", "signature_at=0xfffb", {2, no_sig}),
      both("open_status", "1", "open_status=1", {64, NO_INFO}),
      both("open_status", "2", "open_status=2", {0, ""}),
      both("alloc_fail", "-", "alloc_fail", {36, NO_INFO}),
      both("node_mmap_fail", "-", "node_mmap_fail", {36, NO_INFO}),
      // Clean-up failures after a run that did its work.
      both("close_status", "1", "close_status=1", {65, close_if}),
      both("free_fail", "-", "free_fail", {37, close_if}),
      both("unmap_fail", "node", "unmap_fail=node", {37, close_if}),
      both("unmap_fail", "bios", "unmap_fail=bios", {39, close_map}),
      both("unmap_fail", "info", "unmap_fail=info", {41, close_map}),
  };
  run_matrix("Fault matrix, platform and discovery", faults);
}

TEST(FaultMatrix, FlashCommands) {
  const struct {
    const char* name;
    uint32_t address;
  } places[] = {{"first", 0x80000}, {"middle", 0xB0800}, {"last", 0xDFC00}};
  std::vector<Fault> faults;
  for (const auto& p : places) {
    std::string block = hex8(block_of(p.address));
    std::string at = "=" + hex8(p.address);
    std::string unreadable = frame("Unable to read block: " + block + "\n");
    std::string mismatch = frame("Block data does not match file: " + block + "\n");
    faults.push_back(both("erase_fail", p.name, "erase_fail" + at, {67, frame("Unable to erase block: " + block + "\n")}));
    faults.push_back(both("write_fail", p.name, "write_fail" + at, {68, frame("Unable to write block: " + block + "\n")}));
    faults.push_back(both("write_corrupt", p.name, "write_corrupt" + at, {69, mismatch}));
    // A read fault strikes the save first; without one, the verify pass.
    faults.push_back({"read_fail", p.name, "read_fail" + at, {69, mismatch}, {66, unreadable + SAVE_LEFT}});
    // The verify pass compares the bytes and does not test the read checksum; the save does.
    faults.push_back({"read_badsum", p.name, "read_badsum" + at, {0, ""}, {66, unreadable + SAVE_LEFT}});
  }
  // The last piece of the flash holds the ROM ID, read before anything else.
  faults.push_back(both("read_fail", "ROM ID", "read_fail=0xffc00", {66, NO_INFO}));
  faults.push_back(both("read_badsum", "ROM ID", "read_badsum=0xffc00", {66, NO_INFO}));
  run_matrix("Fault matrix, flash commands", faults);
}

TEST(FaultMatrix, Interruptions) {
  const struct {
    const char* name;
    uint32_t write;
  } places[] = {{"first", 1}, {"middle", MAIN_PIECES / 2}, {"last", MAIN_PIECES}};
  std::vector<Fault> faults;
  for (const auto& p : places) {
    std::string n = std::to_string(p.write);
    // Killed before the write lands: nothing can be cleaned up, the next run finishes the job.
    faults.push_back(both("power_loss", p.name, "power_loss=" + n, {128 + 9, ""}));
    // A stop signal waits until everything is written, verified and released, and leaves the
    // run's own code.
    faults.push_back(both("signal_at SIGTERM", p.name, "signal_at=" + n + ":15", {0, HELD_LINE}));
  }
  run_matrix("Fault matrix, interruptions", faults);
}

}  // namespace
#endif
