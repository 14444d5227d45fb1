// Checking, programming and saving on the virtual PC.
#ifdef ZORVPC
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "vpc.h"

namespace {

constexpr uint32_t ROM_BASE = 0x80000;
const std::string BANNER_END = " (for linux with driver)\n";

std::string hex8(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

// Addresses of the commands of one kind in the trace, in order.
std::vector<uint32_t> addresses(const std::vector<std::string>& trace, const std::string& code) {
  std::vector<uint32_t> v;
  for (const auto& l : lines_starting(trace, "smi " + code + " addr=")) {
    v.push_back(static_cast<uint32_t>(std::stoul(l.substr(14, 10), nullptr, 16)));
  }
  return v;
}

std::set<uint32_t> blocks_of(const std::vector<uint32_t>& pieces, const std::vector<Block>& table) {
  std::set<uint32_t> s;
  for (uint32_t a : pieces) {
    for (const auto& b : table) {
      if (a >= b.address && a < b.address + b.size) s.insert(b.address);
    }
  }
  return s;
}

bool same_block(const std::string& a, const std::string& b, const Block& blk) {
  return a.compare(blk.address - ROM_BASE, blk.size, b, blk.address - ROM_BASE, blk.size) == 0;
}

// A ROM file for the test machine with four non-critical blocks, at blocks 1 to 4.
std::string rom_with_nc(Machine& m, const std::string& name, int count = 4) {
  std::vector<std::string> opts = {"--seed", "21"};
  for (int i = 1; i <= count; ++i) {
    opts.push_back("--nc");
    opts.push_back(hex8(0x10000u * i) + ":0x10000");
  }
  return m.mkrom(name, opts);
}

TEST(Programming, SelectionRowsAndPassOrder) {
  struct Case {
    std::vector<std::string> options;
    std::set<uint32_t> main;  // blocks handled in the main passes
    std::set<uint32_t> boot;  // blocks handled in the boot-block passes
  } cases[] = {
      {{}, {0x80000, 0xd0000}, {}},
      {{"/pbn"}, {0x80000, 0xd0000, 0xe0000, 0xe8000}, {0xf0000, 0xf8000}},
      {{"/k"}, {0x90000, 0xa0000, 0xb0000, 0xc0000}, {}},
      {{"/k2"}, {0xb0000}, {}},
      {{"/c"}, {0x80000, 0x90000, 0xa0000, 0xb0000, 0xc0000, 0xd0000}, {}},
      {{"/c3"}, {0x80000, 0xc0000, 0xd0000}, {}},
      {{"/c", "/pn"}, {0x80000, 0x90000, 0xa0000, 0xb0000, 0xc0000, 0xd0000, 0xe0000, 0xe8000}, {}},
  };
  for (const auto& c : cases) {
    Machine m;
    rom_with_nc(m, "new.rom");
    std::string before = m.flash();
    std::string file = read_file(m.work + "/new.rom");
    std::vector<std::string> args = {"/q", "/inew.rom"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    std::string name = c.options.empty() ? "/i" : c.options[0];
    RunResult r = m.run(args);
    ASSERT_EQ(r.code, 0) << name << r.out;
    EXPECT_EQ(r.out, "");

    auto t = m.trace();
    auto table = m.blocks();
    auto erases = addresses(t, "0x22");
    auto writes = addresses(t, "0x23");
    int rom_id_read = find_line(t, "smi 0x21");
    auto all_reads = addresses(t, "0x21");
    std::vector<uint32_t> verifies(all_reads.begin() + 1, all_reads.end());

    std::set<uint32_t> all = c.main;
    all.insert(c.boot.begin(), c.boot.end());
    EXPECT_EQ(std::set<uint32_t>(erases.begin(), erases.end()), all) << name;
    EXPECT_EQ(blocks_of(writes, table), all) << name;
    EXPECT_EQ(blocks_of(verifies, table), all) << name;
    // Every piece of a selected block is written and verified once.
    uint32_t pieces = 0;
    for (const auto& b : table) pieces += all.count(b.address) ? b.size / 1024 : 0;
    EXPECT_EQ(writes.size(), pieces) << name;
    EXPECT_EQ(verifies.size(), pieces) << name;

    // Main area: all erases, then all writes, then all verifies; the boot block afterwards.
    int last_main_erase = -1, first_write = -1, last_write = -1, first_verify = -1;
    for (int i = rom_id_read + 1; i < static_cast<int>(t.size()); ++i) {
      if (t[i].rfind("smi 0x22", 0) == 0 && c.boot.count(static_cast<uint32_t>(std::stoul(t[i].substr(14, 10), nullptr, 16))) == 0) last_main_erase = i;
      if (t[i].rfind("smi 0x23", 0) == 0 && first_write < 0) first_write = i;
      if (t[i].rfind("smi 0x23", 0) == 0) last_write = i;
      if (t[i].rfind("smi 0x21", 0) == 0 && first_verify < 0) first_verify = i;
    }
    if (!all.empty()) {
      EXPECT_LT(last_main_erase, first_write) << name;
      EXPECT_LT(first_write, first_verify) << name;
    }
    if (!c.boot.empty()) {
      // The boot block's erase comes after the last verify of the main area.
      int boot_erase = find_line(t, "smi 0x22 addr=" + hex8(*c.boot.begin()));
      int main_last_verify = -1;
      for (int i = 0; i < boot_erase; ++i) {
        if (t[i].rfind("smi 0x21", 0) == 0) main_last_verify = i;
      }
      EXPECT_GT(main_last_verify, last_main_erase) << name;
      EXPECT_GT(last_write, boot_erase) << name;
    }
    std::string after = m.flash();
    for (const auto& b : table) {
      EXPECT_TRUE(same_block(after, all.count(b.address) ? file : before, b))
          << name << " block " << hex8(b.address);
    }
  }
}

TEST(Programming, NoNonCriticalBlocks) {
  Machine m;
  m.mkrom("plain.rom", {"--seed", "5"});
  std::string before = m.flash();
  RunResult k = m.run({"/iplain.rom", "/k"});
  EXPECT_EQ(k.code, 18);
  ASSERT_GE(k.out.size(), 44u);
  EXPECT_EQ(k.out.substr(k.out.size() - 44), "\n No non-critical blocks found in ROM file\n\n");
  EXPECT_EQ(k.out.find("ERROR"), std::string::npos);
  EXPECT_TRUE(m.flash() == before);

  RunResult quiet = m.run({"/iplain.rom", "/k", "/q"});
  EXPECT_EQ(quiet.code, 18);
  EXPECT_EQ(quiet.out, "");

  RunResult c = m.run({"/iplain.rom", "/c", "/q"});
  EXPECT_EQ(c.code, 0);
  EXPECT_EQ(find_line(m.trace(), "smi 0x22 addr=0x00080000"), static_cast<int>(find_line(m.trace(), "smi 0x22")));

  RunResult d = m.run({"/iplain.rom", "/d", "/k"});
  EXPECT_EQ(d.code, 18);
  EXPECT_EQ(d.out.find("Comparison"), std::string::npos);
}

TEST(Programming, SelectedEntryBeyondTheListProgramsNothing) {
  Machine m;
  rom_with_nc(m, "three.rom", 3);
  std::string before = m.flash();
  RunResult r = m.run({"/ithree.rom", "/k5"});
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(m.flash() == before);
  EXPECT_EQ(find_line(m.trace(), "smi 0x22"), -1);
  for (const char* label : {" Erasing flash ......... ", " Writing flash ......... ", " Verifying flash ....... "}) {
    std::string pass = std::string(label) + "\r" + label + "done              \n";
    EXPECT_NE(r.out.find(pass), std::string::npos) << label;
  }
  EXPECT_EQ(r.out.find("BootBlock"), std::string::npos);
}

TEST(Programming, ProgressLinesOfAFullRun) {
  Machine m;
  m.mkrom("new.rom", {"--seed", "8"});
  RunResult r = m.run({"/inew.rom", "/pb"});
  ASSERT_EQ(r.code, 0) << r.out;
  // 128 chunks of the file: 0x00000000 to 0x0007F000, the last at 99 percent.
  EXPECT_NE(r.out.find(" Reading file .......... 0x00000000 (0%) \r"), std::string::npos);
  EXPECT_NE(r.out.find(" Reading file .......... 0x0007F000 (99%) \r Reading file .......... done"),
            std::string::npos);
  EXPECT_NE(r.out.find(" Writing flash ......... 0x000C0000 (50%) \r"), std::string::npos);
  EXPECT_NE(r.out.find(" Erasing BootBlock ..... 0x000F0000 (87%) \r"), std::string::npos);
  EXPECT_NE(r.out.find(" Verifying BootBlock ... 0x000FFC00 (99%) \r Verifying BootBlock ... done"),
            std::string::npos);
}

TEST(Programming, SignaturePatch) {
  Machine m;
  std::string path = m.mkrom("sig.rom", {"--seed", "4"});
  std::string file = read_file(path);
  // One case per 4 KB chunk: 42 (patched); 46 (wrong alignment); 4090 (balancing word in the
  // next chunk); 2 (signature byte in the previous chunk); 4074 (the last that fits); 42 and 106
  // (only the first of a chunk is patched).
  for (uint32_t at : {42u, 4096u + 46, 8192u + 4090, 16384u + 2, 20480u + 4074, 24576u + 42,
                      24576u + 106}) {
    file.replace(at, 8, "ZORBIOSC");
    file[at - 3] = 0x01;
  }
  file[39] = 0x00;
  file[59] = 0x05;
  write_file(path, file);

  RunResult r = m.run({"/q", "/isig.rom", "/s"});
  ASSERT_EQ(r.code, 0) << r.out;
  std::string flash = m.flash();
  std::set<uint32_t> changed;
  for (uint32_t i = 0; i < 0x10000; ++i) {
    if (flash[i] != file[i]) changed.insert(i);
  }
  EXPECT_EQ(changed, (std::set<uint32_t>{39, 59, 24551, 24571, 24615, 24635}));
  EXPECT_EQ(static_cast<uint8_t>(flash[39]), 0x12);
  EXPECT_EQ(static_cast<uint8_t>(flash[59]), 0xF3);
  EXPECT_EQ(static_cast<uint8_t>(flash[24551]), 0x12);
  EXPECT_EQ(static_cast<uint8_t>(flash[24571]), static_cast<uint8_t>(file[24571] - 0x11));
  uint32_t sum_file = 0, sum_flash = 0;
  for (uint32_t i = 0; i < 0x10000; i += 4) sum_file += le32_at(file, i), sum_flash += le32_at(flash, i);
  EXPECT_EQ(sum_file, sum_flash);

  // Without /s the main area is programmed byte for byte.
  r = m.run({"/q", "/isig.rom"});
  ASSERT_EQ(r.code, 0);
  EXPECT_TRUE(m.flash().substr(0, 0x60000) == file.substr(0, 0x60000));
}

TEST(Loading, EightNonCriticalBlocksAndNoMore) {
  Machine m;
  std::vector<std::string> eight = {"--seed", "2"};
  for (int i = 0; i < 8; ++i) eight.insert(eight.end(), {"--nc", hex8(0x10000 + 0x1000u * i) + ":0x1000"});
  m.mkrom("eight.rom", eight);
  RunResult r = m.run({"/q", "/ieight.rom", "/k7"});
  EXPECT_EQ(r.code, 0) << r.out;

  std::vector<std::string> nine = eight;
  nine.insert(nine.end(), {"--nc", "0x30000:0x1000"});
  m.mkrom("nine.rom", nine);
  std::string before = m.flash();
  for (const char* mode : {"/k", "/d"}) {
    r = m.run({"/q", "/inine.rom", mode});
    EXPECT_EQ(r.code, 6) << mode;
    EXPECT_EQ(r.out, frame("Error! This BIOS version has more Not-Critical blocks then normally supported"));
  }
  EXPECT_TRUE(m.flash() == before);
}

TEST(Validation, FailuresWhenProgramming) {
  struct Case {
    const char* name;
    std::vector<std::string> mkrom;
    std::vector<std::string> options;
    int code;
    std::string out;
  } cases[] = {
      {"one byte longer", {"--size", "524289"}, {}, 3,
       frame("ROM file size does not match existing BIOS size.")},
      {"other ROM ID", {"--id", "QQ512A01"}, {}, 4,
       frame("ROM file ROMID is not compatible with existing BIOS ROMID.")},
      {"ROM ID differing in its 5th character", {"--id", "ZX513A01"}, {}, 4,
       frame("ROM file ROMID is not compatible with existing BIOS ROMID.")},
      {"ROM ID differing in its last 3 characters", {"--id", "ZX512XYZ"}, {}, 0, ""},
      {"other ROM ID with /n", {"--id", "QQ512A01"}, {"/n"}, 0, ""},
      {"$BBM without /pbn", {"--bbm"}, {"/pb"}, 8,
       frame("Cannot program this BIOS without Boot Block and NVRAM\n") +
           frame("Rom file boot block is not valid.")},
      {"$BBM with /pbn", {"--bbm"}, {"/pbn"}, 0, ""},
  };
  for (const auto& c : cases) {
    Machine m;
    std::vector<std::string> mk = {"--seed", "9"};
    mk.insert(mk.end(), c.mkrom.begin(), c.mkrom.end());
    m.mkrom("new.rom", mk);
    std::string before = m.flash();
    std::vector<std::string> args = {"/q", "/inew.rom"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    RunResult r = m.run(args);
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    if (c.code != 0) {
      EXPECT_TRUE(m.flash() == before) << c.name;
      EXPECT_EQ(find_line(m.trace(), "smi 0x22"), -1) << c.name;
    }
  }

  Machine m;
  RunResult missing = m.run({"/q", "/imissing.rom"});
  EXPECT_EQ(missing.code, 48);
  EXPECT_EQ(missing.out, frame("Unable to open ROM file."));

  // A boot-block region that does not sum to zero.
  std::string path = m.mkrom("bad.rom", {"--seed", "9"});
  std::string bytes = read_file(path);
  bytes[0x70000 + 5] ^= 0x01;
  write_file(path, bytes);
  RunResult bad = m.run({"/q", "/ibad.rom"});
  EXPECT_EQ(bad.code, 5);
  EXPECT_EQ(bad.out, frame("Rom file boot block is not valid."));
}

// What is programmed is what was checked. The ROM file is swapped for another or rewritten in
// place, its times set back, at a known read: during the checks, just after them, when the load
// begins, or during it. A swap cannot reach the file already open; a rewrite is found before the
// first erase and ends with 48.
TEST(CheckedBytes, AFileChangedAfterItsCheckIsNotProgrammed) {
  const std::string changed = frame("ROM file changed after it was checked; the flash was not changed");
  const int load = 18;  // the ROM ID and the boot block's 16 pieces are read first
  const struct {
    const char* name;
    std::string fault;
    std::vector<std::string> options;
    int code;
    std::string out;
  } cases[] = {
      {"swapped when the check closes it", "file_swap=new.rom:0:bad.rom", {"/pbn"}, 0, ""},
      {"swapped before the load", "file_swap=new.rom:" + std::to_string(load) + ":bad.rom", {"/pbn"}, 0, ""},
      {"rewritten with another ROM ID", "file_rewrite=new.rom:" + std::to_string(load) + ":badid.rom", {}, 48, changed},
      {"rewritten with a bad boot block", "file_rewrite=new.rom:" + std::to_string(load) + ":bad.rom", {"/pbn"}, 48, changed},
      {"rewritten one word longer", "file_rewrite=new.rom:" + std::to_string(load) + ":long.rom", {}, 48, changed},
      {"cut short during the load", "file_rewrite=new.rom:100:short.rom", {}, 48, changed},
      // A read that fails on a file cut after its size was checked is that change too.
      {"cut short before its ROM ID is read", "file_rewrite=new.rom:1:short.rom", {}, 48, changed},
      {"cut short before its boot block is read", "file_rewrite=new.rom:2:short.rom", {}, 48, changed},
      {"rewritten before /d loads it", "file_rewrite=new.rom:" + std::to_string(load) + ":bad.rom", {"/d"}, 48, changed},
  };
  for (const auto& c : cases) {
    Machine m;
    std::string good = read_file(m.mkrom("new.rom", {"--seed", "31"}));
    m.mkrom("badid.rom", {"--seed", "31", "--id", "QQ512A01"});
    std::string bad = good;
    bad[0x70005] ^= 0x01;
    write_file(m.work + "/bad.rom", bad);
    write_file(m.work + "/long.rom", good + "long");
    write_file(m.work + "/short.rom", good.substr(0, 0x40000));
    std::string before = m.flash();
    std::vector<std::string> args = {"/q", "/inew.rom"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    RunResult r = m.run(args, {c.fault});
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    auto t = m.trace();
    EXPECT_GE(find_line(t, c.fault.substr(0, c.fault.find('=')) + " new.rom"), 0) << c.name;
    if (c.code == 0) {
      EXPECT_TRUE(m.flash() == good) << c.name;
    } else {
      EXPECT_TRUE(m.flash() == before) << c.name;
      EXPECT_EQ(find_line(t, "smi 0x22"), -1) << c.name;
    }
  }
}

std::string report(bool size, bool id, bool boot) {
  auto ok = [](bool v) { return v ? "Ok" : "Failed"; };
  return std::string("\n Comparison of ROM size....") + ok(size) + "\n Comparison of ROM ID......" +
         ok(id) + "\n Checksum of bootblock....." + ok(boot) + "\n Status of comparison......" +
         (size && id && boot ? "Consistent" : "Inconsistent");
}

TEST(Compare, ReportAndExitCodes) {
  struct Case {
    const char* name;
    std::vector<std::string> mkrom;
    std::vector<std::string> options;
    int code;
    bool size, id, boot;
  } cases[] = {
      {"consistent", {}, {}, 0, true, true, true},
      {"one byte longer", {"--size", "524289"}, {}, 128, false, true, true},
      {"half the size", {"--size", "262144"}, {}, 128, false, false, false},
      {"other ROM ID", {"--id", "QQ512A01"}, {}, 129, true, false, true},
      {"matching file with /n", {}, {"/n"}, 129, true, false, true},
      {"$BBM", {"--bbm"}, {"/pbn"}, 130, true, true, false},
  };
  for (const auto& c : cases) {
    Machine m;
    std::vector<std::string> mk = {"--seed", "13"};
    mk.insert(mk.end(), c.mkrom.begin(), c.mkrom.end());
    m.mkrom("new.rom", mk);
    std::string before = m.flash();
    std::vector<std::string> args = {"/q", "/inew.rom", "/d", "/osaved.rom"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    RunResult r = m.run(args);
    EXPECT_EQ(r.code, c.code) << c.name;
    // Quiet hides the report, never the ERROR frame or the exit code.
    bool bbm = c.mkrom == std::vector<std::string>{"--bbm"};
    std::string bbm_frame = bbm ? frame("Cannot program this BIOS without Boot Block and NVRAM\n") : "";
    EXPECT_EQ(r.out, bbm_frame) << c.name;
    std::string want = report(c.size, c.id, c.boot);
    args.erase(args.begin());
    RunResult loud = m.run(args);
    EXPECT_EQ(loud.code, c.code);
    EXPECT_NE(loud.out.find(want), std::string::npos) << c.name << "\n" << loud.out;
    EXPECT_NE(loud.out.find(bbm_frame), std::string::npos) << c.name;
    EXPECT_TRUE(m.flash() == before) << c.name;
    EXPECT_FALSE(file_exists(m.work + "/saved.rom")) << c.name;  // no save under /d
    auto t = m.trace();
    EXPECT_EQ(find_line(t, "smi 0x22"), -1);
    EXPECT_EQ(find_line(t, "smi 0x23"), -1);
  }
}

TEST(ShowFileRomId, EveryKindOfFile) {
  Machine m;
  m.mkrom("good.rom", {"--seed", "1"});
  std::string f300(300, 'x');
  f300.replace(268, 8, "ID300ABC");
  write_file(m.work + "/f300.bin", f300);
  write_file(m.work + "/f8.bin", "EIGHTBYT");
  write_file(m.work + "/f16.bin", "SIXTEEN-BYTES-ID");
  write_file(m.work + "/empty.bin", "");
  write_file(m.work + "/f7.bin", "SEVEN77");
  write_file(m.work + "/f48.bin", std::string(48, 'x'));  // two one-bits: not a power of two
  write_file(m.work + "/f768k.bin", std::string(768 * 1024, 'x'));
  struct Case {
    const char* name;
    std::string out;
  } cases[] = {
      {"good.rom", " ROMID[good.rom].......ZX512A01\n"},
      {"missing.rom", frame("File Open Error")},
      {"f300.bin", frame("Invalid ROM file [f300.bin]")},
      {"f48.bin", frame("Invalid ROM file [f48.bin]")},
      {"f768k.bin", frame("Invalid ROM file [f768k.bin]")},
      {"f8.bin", " ROMID[f8.bin].......EIGHTBYT\n"},
      {"f16.bin", " ROMID[f16.bin].......SIXTEEN-\n"},
      {"empty.bin", frame("Unable to read from disk\n")},
      {"f7.bin", frame("Unable to read from disk\n")},
  };
  for (const auto& c : cases) {
    m.clear_trace();
    RunResult r = m.run({"/u" + std::string(c.name)});
    // The run goes on to the driver whatever the display found.
    EXPECT_EQ(r.code, 0) << c.name;
    size_t banner = r.out.find(BANNER_END);
    ASSERT_NE(banner, std::string::npos);
    std::string rest = r.out.substr(r.out.find("\n\n", banner) + 2);
    EXPECT_EQ(rest, c.out) << c.name;
    EXPECT_GE(find_line(m.trace(), "smi 0x20"), 0) << c.name;
  }
}

TEST(Save, FileEqualsTheFlash) {
  const char* out_of_order =
      "rom_kb = 512\nblock = 0xc0000 0x20000\nblock = 0x80000 0x40000\nblock = 0xe0000 0x10000\n"
      "block = 0xf0000 0x10000\nboot_blocks = 1\nrom_id = ZX512C00\ninfo_paragraph = 0xe000\n"
      "smi_port = 0xb2\n";
  struct {
    const char* machine;
    const char* first_piece;
  } cases[] = {{TEST_MACHINE, " Reading flash ......... 0x00080000 (0%) \r"},
               {out_of_order, " Reading flash ......... 0x000C0000 (0%) \r"}};
  for (const auto& c : cases) {
    Machine m(c.machine);
    RunResult r = m.run({"/osaved.rom"});
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(read_file(m.work + "/saved.rom") == m.flash());
    EXPECT_NE(r.out.find(c.first_piece), std::string::npos);
    EXPECT_NE(r.out.find(" Reading flash ......... done              \n"), std::string::npos);
  }
}

TEST(Save, EmptyNameBeforeTheDriver) {
  Machine m;
  RunResult empty = m.run({"/q", "/o"});
  EXPECT_EQ(empty.code, 50);
  EXPECT_EQ(empty.out, frame("Unable to create output file\n"));
  EXPECT_EQ(find_line(m.trace(), "system insmod"), -1);
}

TEST(Save, BeforeProgrammingInTheSameRun) {
  Machine m;
  m.mkrom("new.rom", {"--seed", "31"});
  std::string before = m.flash();
  RunResult r = m.run({"/q", "/obackup.rom", "/inew.rom"});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(read_file(m.work + "/backup.rom") == before);
  std::string file = read_file(m.work + "/new.rom");
  for (const auto& b : m.blocks()) {
    bool programmed = b.address < 0xe0000;
    EXPECT_TRUE(same_block(m.flash(), programmed ? file : before, b)) << hex8(b.address);
  }
  // Programming the backup with every region restores the flash as it was.
  r = m.run({"/q", "/ibackup.rom", "/pbn"});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(m.flash() == before);
}

TEST(Programming, FlashFailuresStopAtTheBlock) {
  struct Case {
    std::string fault;
    int code;
    std::string message;
  } cases[] = {
      {"erase_fail=0xd0000", 67, "Unable to erase block: 0x000D0000\n"},
      {"write_fail=0xd0c00", 68, "Unable to write block: 0x000D0000\n"},
      {"write_corrupt=0xd0800", 69, "Block data does not match file: 0x000D0000\n"},
      {"read_fail=0xd0400", 69, "Block data does not match file: 0x000D0000\n"},
  };
  for (const auto& c : cases) {
    Machine m;
    m.mkrom("new.rom", {"--seed", "17"});
    std::string before = m.flash();
    RunResult r = m.run({"/q", "/inew.rom", "/pbn"}, {c.fault});
    EXPECT_EQ(r.code, c.code) << c.fault;
    EXPECT_EQ(r.out, frame(c.message) + rerun_line("zorflashlnx2 /q /inew.rom /pbn")) << c.fault;
    std::string after = m.flash();
    // The boot block is untouched: its passes never started.
    EXPECT_TRUE(after.substr(0x70000) == before.substr(0x70000)) << c.fault;
    auto t = m.trace();
    EXPECT_EQ(find_line(t, "smi 0x22 addr=0x000f0000"), -1) << c.fault;
    EXPECT_GE(find_line(t, "smi 0x24 status=0"), 0) << c.fault;
    EXPECT_FALSE(file_exists(m.work + "/zorfl"));
    // The same command on a healthy machine finishes the job.
    std::string line = next_run_line(m, "To program it again, in " + m.work + ": zorflashlnx2 /q /inew.rom /pbn");
    r = m.run({"/q", "/inew.rom", "/pbn"});
    EXPECT_EQ(r.code, 0) << c.fault;
    EXPECT_EQ(r.out, line) << c.fault;
    EXPECT_TRUE(m.flash() == read_file(m.work + "/new.rom")) << c.fault;
  }
}

TEST(Programming, PowerLossThenRunAgain) {
  Machine m;
  m.mkrom("new.rom", {"--seed", "23"});
  RunResult r = m.run({"/q", "/inew.rom"}, {"power_loss=200"});
  EXPECT_EQ(r.code, 128 + 9);
  EXPECT_FALSE(m.flash() == read_file(m.work + "/new.rom"));
  // The machine came back without the module; the node of the cut run is still on the disk, stale.
  // The next run takes it away, says so and finishes the job.
  EXPECT_EQ(m.module_state(), "loaded = 0\nmajor = 254\n");
  ASSERT_TRUE(file_exists(m.work + "/zorfl"));
  std::string line = next_run_line(m, "To program it again, in " + m.work + ": zorflashlnx2 /q /inew.rom");
  r = m.run({"/q", "/inew.rom"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out, line + "a device node zorfl left by an earlier, interrupted run was removed\n");
  EXPECT_EQ(r.err, "");  // the run unloaded the module it loaded: no complaint from rmmod
  EXPECT_EQ(m.run({"/q", "/t"}).out, "\n ROM ID = ZX512A01");  // finished: no line any more
  std::string file = read_file(m.work + "/new.rom");
  EXPECT_TRUE(m.flash().substr(0, 0x60000) == file.substr(0, 0x60000));
  EXPECT_FALSE(file_exists(m.work + "/zorfl"));
}

TEST(Programming, BlocksThatCannotBeProgrammed) {
  const char* tail = "rom_kb = 512\nblock = 0x80000 0x40000\nblock = 0xc0000 0x3fe00\n"
                     "block = 0xffe00 0x200\nboot_blocks = 1\nrom_id = ZX512D00\n"
                     "info_paragraph = 0xe000\nsmi_port = 0xb2\n";
  Machine m(tail);
  m.mkrom("new.rom", {"--seed", "6"});
  std::string before = m.flash();
  RunResult r = m.run({"/q", "/inew.rom"});
  EXPECT_EQ(r.code, 70);
  EXPECT_EQ(r.out, frame("Invalid block in BIOS block table: 0x000C0000\n"));
  EXPECT_EQ(find_line(m.trace(), "smi 0x22"), -1);
  EXPECT_TRUE(m.flash() == before);

  RunResult save = m.run({"/q", "/osaved.rom"});
  EXPECT_EQ(save.code, 66);
  EXPECT_EQ(masked(save.out), frame("Unable to read block: 0x000C0000\n") + saved_left("saved.rom"));

  const char* below = "rom_kb = 512\nblock = 0x70000 0x10000\nblock = 0x80000 0x80000\n"
                      "boot_blocks = 0\nrom_id = ZX512E00\ninfo_paragraph = 0xe000\nsmi_port = 0xb2\n";
  Machine low(below);
  RunResult s = low.run({"/q", "/osaved.rom"});
  EXPECT_EQ(s.code, 51);
  EXPECT_EQ(masked(s.out), frame("Unable to write to disk\n") + saved_left("saved.rom"));
}

// /e: a block whose flash already holds the file's bytes is read, compared and left alone; the
// rest go through erase, write and verify as without it. A doubtful read programs the block, and
// a cut or a stop while comparing leaves the flash as it was.
TEST(OnlyWhatDiffers, ErasesAndWritesOnlyTheBlocksThatDiffer) {
  const std::string line = " Blocks skipped as already equal: ";
  struct Case {
    const char* name;
    std::vector<uint32_t> flipped;  // file offsets at which the flash differs from the file
    bool as_it_came;                // the machine's own flash, which differs in every block
    std::vector<std::string> args, faults;
    int code;
    std::set<uint32_t> erased;  // and written and verified; with as_it_came every block
    std::string end;            // how the output ends
    std::string skipped = "", touched = "";  // the record's, after a run that programs
  } cases[] = {
      {"a rerun of the same file", {}, false, {"/pbn"}, {}, 0, {}, line + "10, programmed: 0\n",
       "0x00080000-0x000fffff", ""},
      {"one main block differs", {0x30010}, false, {}, {}, 0, {0xb0000}, line + "5, programmed: 1\n",
       "0x00080000-0x000affff,0x000c0000-0x000dffff", "0x000b0000-0x000bffff"},
      {"/pbn, the boot block as in the file", {0x10000, 0x68004}, false, {"/pbn"}, {}, 0, {0x90000, 0xe8000},
       line + "8, programmed: 2\n", "0x00080000-0x0008ffff,0x000a0000-0x000e7fff,0x000f0000-0x000fffff",
       "0x00090000-0x0009ffff,0x000e8000-0x000effff"},
      {"every block differs", {}, true, {"/pbn"}, {}, 0, {}, line + "0, programmed: 10\n", "",
       "0x00080000-0x000fffff"},
      {"a bad read checksum while comparing", {}, false, {"/pbn"}, {"read_badsum=0xa0400"}, 0, {0xa0000},
       line + "9, programmed: 1\n", "0x00080000-0x0009ffff,0x000b0000-0x000fffff", "0x000a0000-0x000affff"},
      {"a power cut while comparing", {0x68004}, false, {"/pbn"}, {"power_loss=read:100"}, 128 + 9, {}, ""},
      {"a stop signal while comparing", {0x68004}, false, {"/pbn"}, {"signal_at=read:100:2"}, 20, {},
       frame("Stopped by a signal; the flash was not changed")},
      {"/d counts what /pbn would program", {0x30010, 0x70010}, false, {"/pbn", "/d"}, {}, 0, {},
       "\n Differing blocks..........2 of 10"},
  };
  for (const auto& c : cases) {
    Machine m;
    std::string file = read_file(m.mkrom("new.rom", {"--seed", "37"}));
    if (!c.as_it_came) {
      std::string flash = file;
      for (uint32_t at : c.flipped) flash[at] ^= 0x01;
      m.set_flash(flash);
    }
    std::string before = m.flash();
    std::vector<std::string> args = {"/inew.rom", "/e"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = m.run(args, c.faults);
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_TRUE(r.out.size() >= c.end.size() && r.out.compare(r.out.size() - c.end.size(), c.end.size(), c.end) == 0)
        << c.name << "\n" << r.out;
    auto t = m.trace();
    auto erases = addresses(t, "0x22");
    std::set<uint32_t> erased = c.as_it_came ? blocks_of(erases, m.blocks()) : c.erased;
    EXPECT_EQ(erased.size(), c.as_it_came ? m.blocks().size() : c.erased.size()) << c.name;
    EXPECT_EQ(std::set<uint32_t>(erases.begin(), erases.end()), erased) << c.name;
    EXPECT_EQ(blocks_of(addresses(t, "0x23"), m.blocks()), erased) << c.name;
    bool programs = c.code == 0 && std::count(c.args.begin(), c.args.end(), "/d") == 0;
    EXPECT_TRUE(m.flash() == (programs ? file : before)) << c.name;
    // No record before the comparison ended; after it the record knows what was left alone.
    EXPECT_EQ(record_field(m, "skipped") + " " + record_field(m, "touched"), c.skipped + " " + c.touched) << c.name;
    if (erases.empty()) continue;
    // Every read comes before the first erase but those of the blocks programmed: their verify.
    int first = find_line(t, "smi 0x22");
    EXPECT_EQ(blocks_of(addresses(std::vector<std::string>(t.begin() + first, t.end()), "0x21"), m.blocks()), erased)
        << c.name;
    if (!c.as_it_came) continue;
    // From the first erase on, the commands of the same run without /e.
    Machine plain;
    plain.mkrom("new.rom", {"--seed", "37"});
    ASSERT_EQ(plain.run({"/q", "/inew.rom", "/pbn"}).code, 0);
    auto p = plain.trace();
    EXPECT_EQ(std::vector<std::string>(t.begin() + first, t.end()),
              std::vector<std::string>(p.begin() + find_line(p, "smi 0x22"), p.end())) << c.name;
  }
}

}  // namespace
#endif
#ifdef ZORVPC
namespace {

// A signal from the terminal, a hang-up or a closed pipe during programming waits until the
// flash is written and verified and everything is released; it never changes the run's code
// (a failure keeps its own), and a line says it was held. A held terminal stop is dropped.
TEST(Programming, StopSignalsWaitForTheEnd) {
  const std::string held = "\n Stop signal held until programming ended\n";
  const std::string failed = frame("Unable to write block: 0x000C0000\n");
  struct Case {
    int sig;
    std::vector<std::string> faults;
    int code;
    std::string out;
  } cases[] = {
      {2, {}, 0, "\n ROM ID = ZX512A01" + held},
      {15, {}, 0, "\n ROM ID = ZX512A01" + held},
      {1, {}, 0, "\n ROM ID = ZX512A01" + held},
      {3, {}, 0, "\n ROM ID = ZX512A01" + held},
      {13, {}, 0, "\n ROM ID = ZX512A01" + held},
      {20, {}, 0, "\n ROM ID = ZX512A01" + held},
      {15, {"write_fail=0xc0000"}, 68, failed + rerun_line("zorflashlnx2 /q /inew.rom /t") + held},
  };
  for (const auto& c : cases) {
    int sig = c.sig;
    Machine m;
    m.mkrom("new.rom", {"--seed", "29"});
    std::vector<std::string> faults = c.faults;
    faults.push_back("signal_at=10:" + std::to_string(sig));
    RunResult r = m.run({"/q", "/inew.rom", "/t"}, faults);
    EXPECT_EQ(r.code, c.code) << sig;
    EXPECT_EQ(r.out, c.out) << sig;
    std::string file = read_file(m.work + "/new.rom");
    EXPECT_EQ(m.flash().substr(0, 0x60000) == file.substr(0, 0x60000), c.code == 0) << sig;
    auto t = m.trace();
    EXPECT_GE(find_line(t, "smi 0x24 status=0"), 0) << sig;
    EXPECT_EQ(t.back(), "iopl 0 = 0") << sig;
    EXPECT_FALSE(file_exists(m.work + "/zorfl")) << sig;
  }
}

}  // namespace
#endif
#ifdef ZORVPC
namespace {

// A save over an old backup, another user's file open to all: the name keeps the old file,
// untouched, until the new one is whole on the disk and renamed over it, the tool's own and
// private; console output sent into the old file cannot reach the backup. A save that does not
// finish (a flash read, an fsync or a close that fails, the file-size limit) leaves the old file
// as it was and its own bytes in NAME.partial, which a line names, and ends through the clean-up.
TEST(Save, AtomicOverAnOldBackup) {
  const std::string disk = frame("Unable to write to disk\n");
  const struct {
    const char* name;
    std::vector<std::string> faults;
    const char* shell;  // run by sh -c before the command
    int code;
    std::string out;
    uint32_t kept;  // flash bytes in NAME.partial
  } cases[] = {
      {"replaced", {}, "", 0, "", 0},
      {"console into the old file", {}, "exec >backup.rom;", 0, "", 0},
      {"flash read fails", {"read_fail=0xa0400"}, "", 66, frame("Unable to read block: 0x000A0000\n"), 0x20000},
      {"fsync fails", {"fsync_fail"}, "", 51, disk, 0x80000},
      {"close fails", {"file_close_fail=backup.rom.partial-*"}, "", 51, disk, 0x80000},
      {"file-size limit", {}, "ulimit -f 256;", 51, disk, 0x20000},  // 256 blocks of 512 bytes
  };
  const std::string old = std::string(0x80000, 'o');
  for (const auto& c : cases) {
    Machine m;
    std::string path = m.work + "/backup.rom";
    write_file(path, old);
    std::filesystem::permissions(path, std::filesystem::perms(0666));
    bool given_away = geteuid() == 0 && chown(path.c_str(), 65534, 65534) == 0;
    std::vector<std::string> argv = {"sh", "-c", std::string(c.shell) + " exec \"$@\"", "sh"};
    for (const auto& w : m.command({"/q", "/obackup.rom"}, c.faults, false)) argv.push_back(w);
    RunResult r = run_command(argv, m.work);
    EXPECT_EQ(r.code, c.code) << c.name;
    auto t = m.trace();
    EXPECT_EQ(t.back(), "iopl 0 = 0") << c.name;
    EXPECT_FALSE(file_exists(m.work + "/zorfl")) << c.name;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << c.name;
    std::string partial = partial_of(m.work, "backup.rom");
    if (c.code == 0) {
      EXPECT_EQ(r.out, "") << c.name;
      EXPECT_TRUE(read_file(path) == m.flash()) << c.name;
      EXPECT_EQ(st.st_mode & 07777, 0600u) << c.name;
      EXPECT_EQ(st.st_uid, geteuid()) << c.name;
      EXPECT_EQ(partial, "") << c.name;
      int synced = find_line(t, "fsync backup.rom.partial-");
      ASSERT_GE(synced, 0) << c.name;
      EXPECT_EQ(masked(t[synced]), "fsync backup.rom.partial-XXXXXX = 0") << c.name;
      EXPECT_GT(find_line(t, "fsync work = 0", synced), synced) << c.name;  // the directory
      continue;
    }
    EXPECT_EQ(masked(r.out), c.out + saved_left("backup.rom")) << c.name;
    EXPECT_TRUE(read_file(path) == old) << c.name;
    EXPECT_EQ(st.st_mode & 07777, 0666u) << c.name;
    if (given_away) {
      EXPECT_EQ(st.st_uid, 65534u) << c.name;
    }
    EXPECT_TRUE(read_file(partial) == m.flash().substr(0, c.kept)) << c.name;
    EXPECT_EQ(std::filesystem::status(partial).permissions(), std::filesystem::perms(0600)) << c.name;
    // The next save of the name finishes the job, under a partial name of its own: the file of
    // the unfinished one is left as the line named it.
    EXPECT_EQ(m.run({"/q", "/obackup.rom"}).code, 0) << c.name;
    EXPECT_TRUE(read_file(path) == m.flash()) << c.name;
    EXPECT_TRUE(read_file(partial) == m.flash().substr(0, c.kept)) << c.name;
  }
}

}  // namespace
#endif
