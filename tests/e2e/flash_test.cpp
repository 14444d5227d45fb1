// Finding the flash interface and the flash commands, on the virtual PC.
#ifdef ZORVPC
#include <gtest/gtest.h>

#include <algorithm>

#include "vpc.h"

namespace {

const std::string NO_INFO = frame("BIOS has no flash information available");
const std::string OUT_OF_RANGE = frame("BIOS flash information is out of range");

std::string u16(uint32_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }

TEST(Discovery, SignaturePositions) {
  struct Case {
    const char* line;
    std::string out;
  } cases[] = {
      {"signature_at = 65521", OUT_OF_RANGE + NO_INFO},  // found; its parameter block cannot fit
      {"signature_at = 65525", OUT_OF_RANGE + NO_INFO},
      {"signature_at = 65530", OUT_OF_RANGE + NO_INFO},
      {"signature_at = 65531", frame("QZX Signature not found") + NO_INFO},
      {"no_signature = 1", frame("QZX Signature not found") + NO_INFO},
  };
  for (const auto& c : cases) {
    Machine m(TEST_MACHINE, {c.line});
    RunResult r = m.run({"/q", "/t"});
    EXPECT_EQ(r.code, 2) << c.line;
    EXPECT_EQ(r.out, c.out) << c.line;
    auto t = m.trace();
    EXPECT_EQ(find_line(t, "smi"), -1) << c.line;  // the interface was never opened
    EXPECT_GE(find_line(t, "munmap mem 0x000f0000 0xffff = 0"), 0) << c.line;
    EXPECT_EQ(t.back(), "iopl 0 = 0");
  }
}

TEST(Discovery, LayoutsThatWork) {
  struct Case {
    std::vector<std::string> lines;
    std::string id;
  } cases[] = {
      {{"param_offset = 0"}, "ZX512A01"},
      {{"info_paragraph = 0xe123"}, "ZX512A01"},
      {{"header_pos = 0"}, "ZX512A01"},
      {{"header_pos = 65518", "param_offset = 0"}, "ZX512A01"},
  };
  for (const auto& c : cases) {
    Machine m(TEST_MACHINE, c.lines);
    RunResult r = m.run({"/q", "/t"});
    EXPECT_EQ(r.code, 0) << c.lines[0] << r.out;
    EXPECT_EQ(r.out, "\n ROM ID = " + c.id) << c.lines[0];
  }
}

TEST(Discovery, RomSizesAndBase) {
  struct Case {
    const char* machine;
    uint32_t size;
  } cases[] = {
      {"rom_kb = 1024\nblock = 0x0 0x80000\nblock = 0x80000 0x80000\nboot_blocks = 1\n"
       "rom_id = ZX1024MB\ninfo_paragraph = 0xe000\nsmi_port = 0xb2\n", 0x100000},
      {"rom_kb = 2048\nblock = 0x0 0x100000\nblock = 0x100000 0x100000\nboot_blocks = 1\n"
       "rom_id = ZX2048MB\ninfo_paragraph = 0xe000\nsmi_port = 0xb2\n", 0x200000},
  };
  for (const auto& c : cases) {
    Machine m(c.machine);
    RunResult r = m.run({"/q", "/t", "/osaved.rom"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.out.substr(0, 11), "\n ROM ID = ");
    std::string saved = read_file(m.work + "/saved.rom");
    EXPECT_EQ(saved.size(), c.size);
    EXPECT_TRUE(saved == m.flash());
    // RomBase 0: the last kilobyte read for the ROM ID is at the ROM's own end.
    char piece[64];
    snprintf(piece, sizeof piece, "smi 0x21 addr=0x%08x len=1024", c.size - 1024);
    EXPECT_GE(find_line(m.trace(), piece), 0) << piece;
  }
}

TEST(Discovery, OpenStatus) {
  Machine refused;
  RunResult r = refused.run({"/q", "/t"}, {"open_status=1"});
  EXPECT_EQ(r.code, 64);
  EXPECT_EQ(r.out, NO_INFO);
  EXPECT_EQ(find_line(refused.trace(), "ioctl"), -1);  // no buffer requested
  EXPECT_EQ(find_line(refused.trace(), "smi 0x24"), -1);

  Machine odd;
  r = odd.run({"/q", "/t"}, {"open_status=2"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "\n ROM ID = ZX512A01");
}

TEST(Discovery, FailuresAfterTheInterfaceOpened) {
  struct Case {
    std::vector<std::string> faults;
    int code;
    std::string out;
    bool closed;  // a close command was sent
  } cases[] = {
      {{"alloc_fail"}, 36, NO_INFO, false},
      {{"map_fail=info"}, 40, " error mapping physical memory, E000!\n" + NO_INFO, true},
      {{"read_fail=0xffc00"}, 66, NO_INFO, true},
      {{"read_badsum=0xffc00"}, 66, NO_INFO, true},
  };
  for (const auto& c : cases) {
    Machine m;
    RunResult r = m.run({"/q", "/t"}, c.faults);
    EXPECT_EQ(r.code, c.code) << c.faults[0];
    EXPECT_EQ(r.out, c.out) << c.faults[0];
    auto t = m.trace();
    EXPECT_EQ(find_line(t, "smi 0x24") >= 0, c.closed) << c.faults[0];
    EXPECT_EQ(find_line(t, "ioctl 0x4161") >= 0, c.closed) << c.faults[0];
    if (c.code == 40) {
      // Only the BIOS window was mapped, so only it is unmapped.
      EXPECT_EQ(lines_starting(t, "munmap mem").size(), 1u);
    }
  }
}

TEST(Discovery, GarbageTablesEndWith2AndCloseTheInterface) {
  Machine base;
  uint32_t info = base.info_base();
  uint32_t header = base.header_address();
  struct Case {
    const char* name;
    uint32_t address;
    std::string bytes;
  } cases[] = {
      {"pointer word cut by the window end", header + 8, u16(0xFFFD)},
      {"record past the window", info + 0x10, std::string("\xF5\xFF\x00\x00", 4)},
      {"block table past the window", info + base.record_offset() + 10, u16(0xFFFE)},
      {"too many blocks", info + base.table_offset(), u16(0xFFFF)},
      {"more boot blocks than blocks", info + base.table_offset() + 2, u16(11)},
      {"too many NVRAM entries", info + base.nvram_offset(), u16(0xFFFF)},
  };
  for (const auto& c : cases) {
    Machine m;
    m.poke_physmem(c.address, c.bytes);
    RunResult r = m.run({"/q", "/t", "/ofile.rom"});
    EXPECT_EQ(r.code, 2) << c.name;
    EXPECT_EQ(r.out, OUT_OF_RANGE + NO_INFO) << c.name;
    auto t = m.trace();
    EXPECT_GE(find_line(t, "smi 0x24 status=0"), 0) << c.name;
    EXPECT_GE(find_line(t, "ioctl 0x4161"), 0) << c.name;
    EXPECT_EQ(t.back(), "iopl 0 = 0");
  }
}

// A locked-down kernel, or an iopl that fails, ends the run with 17 before the driver: no module
// command, no node, no /dev/mem, no port, no save file.
TEST(IoPrivilege, RefusedBeforeTheDriver) {
  const std::string hint =
      " to update the BIOS, turn off Secure Boot in the firmware setup or boot a kernel without "
      "lockdown, for the update only\n";
  const std::string refused = frame("Unable to raise I/O privilege level");
  struct Case {
    const char* fault;
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {"lockdown=integrity", {"/t"},
       " the kernel is locked down (integrity): it refuses port access and /dev/mem to every "
       "program\n" + hint + refused},
      {"lockdown=confidentiality", {"/osave.rom"},
       " the kernel is locked down (confidentiality): it refuses port access and /dev/mem to "
       "every program\n" + hint + refused},
      {"iopl_fail", {"/t"},
       " error 1 raising the I/O privilege level: Operation not permitted\n the kernel grants it "
       "only to root with CAP_SYS_RAWIO, and to no program while it is locked down\n" + refused},
  };
  for (const auto& c : cases) {
    for (bool quiet : {false, true}) {
      Machine m;
      std::vector<std::string> args = c.args;
      if (quiet) args.insert(args.begin(), "/q");
      RunResult r = m.run(args, {c.fault});
      EXPECT_EQ(r.code, 17) << c.fault;
      // The lines come whatever /q says; without it, after the banner.
      EXPECT_TRUE(quiet ? r.out == c.out : r.out.ends_with(c.out) && r.out != c.out) << c.fault << r.out;
      EXPECT_EQ(r.err, "") << c.fault;
      auto t = m.trace();
      EXPECT_GE(find_line(t, "fopen /sys/kernel/security/lockdown = ok"), 0) << c.fault;
      for (const char* never : {"system", "mknod", "fopen /dev/mem", "smi", "out ", "in "}) {
        EXPECT_EQ(find_line(t, never), -1) << c.fault << " " << never;
      }
      bool locked = std::string(c.fault).rfind("lockdown", 0) == 0;
      EXPECT_EQ(find_line(t, "iopl 3") >= 0, !locked) << c.fault;
      EXPECT_FALSE(file_exists(m.work + "/zorfl"));
      EXPECT_FALSE(file_exists(m.work + "/save.rom"));
    }
  }
}

TEST(Discovery, QuietStillShowsTheRomId) {
  Machine m;
  RunResult r = m.run({"/t", "/q"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "\n ROM ID = ZX512A01");
  // The ROM ID read shows no progress and is the only SMI read.
  EXPECT_EQ(lines_starting(m.trace(), "smi 0x21").size(), 1u);
}

TEST(CleanUp, FailuresAfterASuccessfulRun) {
  struct Case {
    std::string fault;
    int code;
    std::string out;
  } cases[] = {
      {"close_status=3", 65, frame("Unable to close BIOS flash interface\n")},
      {"free_fail", 37, frame("Unable to close BIOS flash interface\n")},
      {"unmap_fail=bios", 39, frame("Unable to close BIOS mapping\n")},
      {"unmap_fail=info", 41, frame("Unable to close BIOS mapping\n")},
  };
  for (const auto& c : cases) {
    Machine m;
    RunResult r = m.run({"/q", "/t"}, {c.fault});
    EXPECT_EQ(r.code, c.code) << c.fault;
    EXPECT_EQ(r.out, "\n ROM ID = ZX512A01" + c.out) << c.fault;
    auto t = m.trace();
    if (c.code == 65) {
      EXPECT_EQ(find_line(t, "ioctl 0x4161"), -1);  // the buffer is kept
    }
    EXPECT_GE(find_line(t, "system rmmod"), 0) << c.fault;        // the rest still runs
    EXPECT_EQ(t.back(), "iopl 0 = 0");
  }
  // A clean-up failure does not replace an earlier error.
  Machine m;
  m.mkrom("short.rom", {"--size", "0x40000"});
  RunResult r = m.run({"/q", "/ishort.rom"}, {"close_status=3"});
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.out, frame("ROM file size does not match existing BIOS size.") +
                       frame("Unable to close BIOS flash interface\n"));
}

// A 512 KB ROM tiled by six 64 KB and four 32 KB blocks, listed in the given order, the
// pieces named in boot (indices in address order) last, as the boot block; the two 32 KB pieces
// below the top that are not boot block are NVRAM.
std::string layout(const std::string& order, const std::vector<size_t>& boot) {
  std::vector<std::pair<uint32_t, uint32_t>> pieces;
  for (uint32_t a = 0x80000; a < 0xE0000; a += 0x10000) pieces.push_back({a, 0x10000});
  for (uint32_t a = 0xE0000; a < 0x100000; a += 0x8000) pieces.push_back({a, 0x8000});
  std::vector<size_t> main, boots = boot;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (std::find(boot.begin(), boot.end(), i) == boot.end()) main.push_back(i);
  }
  auto arrange = [&](std::vector<size_t>& v) {
    if (order == "descending") std::reverse(v.begin(), v.end());
    if (order == "interleaved") {  // every other one from the top down, then the rest upwards
      std::vector<size_t> even, odd;
      for (size_t k = 0; k < v.size(); ++k) (k % 2 ? odd : even).push_back(v[k]);
      v.assign(odd.rbegin(), odd.rend());
      v.insert(v.end(), even.begin(), even.end());
    }
  };
  arrange(main);
  arrange(boots);
  std::string d = "rom_kb = 512\nrom_id = ZXLAY001\ninfo_paragraph = 0xe000\nsmi_port = 0xb2\n";
  char line[64];
  for (size_t i : main) {
    snprintf(line, sizeof line, "block = 0x%x 0x%x\n", pieces[i].first, pieces[i].second);
    d += line;
  }
  for (size_t i : boots) {
    snprintf(line, sizeof line, "block = 0x%x 0x%x\n", pieces[i].first, pieces[i].second);
    d += line;
  }
  d += "boot_blocks = " + std::to_string(boot.size()) + "\n";
  for (size_t i : {6u, 7u}) {
    if (std::find(boot.begin(), boot.end(), i) == boot.end()) d += "nvram = " + std::to_string(pieces[i].first) + "\n";
  }
  return d;
}

// A machine's own backup is a sound ROM file for that machine whatever order its BlockTable
// lists the blocks in: saved, compared Consistent, and programmed back with everything, the
// flash unchanged.
TEST(Layouts, TheMachinesOwnBackupRoundTrips) {
  const struct {
    const char* order;
    std::vector<size_t> boot;
  } cases[] = {
      {"ascending", {8, 9}},   {"descending", {8, 9}},   {"interleaved", {8, 9}},
      {"descending", {9}},     {"ascending", {0}},       {"interleaved", {0, 1}},
      {"interleaved", {0, 9}},  // boot blocks apart, a main block between them
  };
  for (const auto& c : cases) {
    std::string label = c.order + std::string(" boot at ") + std::to_string(c.boot[0]);
    Machine m(layout(c.order, c.boot));
    std::string before = m.flash();
    RunResult save = m.run({"/q", "/obk.rom"});
    EXPECT_EQ(save.code, 0) << label << save.out;
    EXPECT_TRUE(read_file(m.work + "/bk.rom") == before) << label;
    RunResult check = m.run({"/q", "/ibk.rom", "/d"});
    EXPECT_EQ(check.code, 0) << label << check.out;
    RunResult back = m.run({"/q", "/ibk.rom", "/pbn"});
    EXPECT_EQ(back.code, 0) << label << back.out;
    EXPECT_GE(find_line(m.trace(), "smi 0x22"), 0) << label;  // programmed, not refused
    EXPECT_TRUE(m.flash() == before) << label;
  }
}

TEST(Layouts, NoBootBlockAndNoNvram) {
  Machine m("rom_kb = 512\nblock = 0x80000 0x40000\nblock = 0xc0000 0x40000\nboot_blocks = 0\n"
            "rom_id = ZX512B00\ninfo_paragraph = 0xe000\nsmi_port = 0xb2\n");
  m.mkrom("new.rom", {"--seed", "3"});
  RunResult r = m.run({"/q", "/inew.rom", "/pbn"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(m.flash() == read_file(m.work + "/new.rom"));
}

}  // namespace
#endif
