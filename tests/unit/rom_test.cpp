#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "layout_fixture.h"
#include "rom/image.h"
#include "rom/program.h"
#include "rom/romfile.h"
#include "rom/validate.h"
#include "run/exit_codes.h"
#include "run/options.h"

namespace {

std::vector<uint8_t> chunk_with_records(const std::vector<uint32_t>& at) {
  std::vector<uint8_t> c(CHUNK_SIZE + 4, 0);
  for (size_t i = 0; i < CHUNK_SIZE; ++i) c[i] = static_cast<uint8_t>(i * 13 + 1);
  for (uint32_t s : at) memcpy(&c[s], "ZORBIOSC", 8);
  return c;
}

TEST(SignaturePatch, BalancesTheWordSum) {
  auto c = chunk_with_records({42});
  c[39] = 0x00;
  c[59] = 0x05;
  std::vector<uint8_t> before = c;
  patch_signature(c.data(), CHUNK_SIZE, 18);
  EXPECT_EQ(c[39], 0x12);
  EXPECT_EQ(c[59], 0xF3);
  EXPECT_EQ(0, memcmp(&c[56], &before[56], 3));
  EXPECT_EQ(word_sum(c.data(), CHUNK_SIZE), word_sum(before.data(), CHUNK_SIZE));
  uint32_t bytes_before = 0, bytes_after = 0;
  for (size_t i = 0; i < CHUNK_SIZE; ++i) bytes_before += before[i], bytes_after += c[i];
  EXPECT_EQ(bytes_before % 256, bytes_after % 256);
  for (size_t i = 0; i < CHUNK_SIZE; ++i) {
    if (i != 39 && i != 59) {
      ASSERT_EQ(c[i], before[i]) << i;
    }
  }
}

TEST(SignaturePatch, OnlyAlignedRecordsInsideTheChunk) {
  struct Case {
    std::vector<uint32_t> records;
    std::vector<uint32_t> patched;  // signature byte positions that must change
  } cases[] = {
      {{46}, {}},            // 46 mod 8 = 6
      {{4090}, {}},          // balancing word would lie in the next chunk
      {{2}, {}},             // signature byte would lie in the previous chunk
      {{4074}, {4071}},      // the last position that fits
      {{10}, {7}},           // the first position searched
      {{42, 106}, {39}},     // the first record only
  };
  for (const auto& t : cases) {
    auto c = chunk_with_records(t.records);
    for (uint32_t s : t.records) {
      if (s >= 3) c[s - 3] = 0x40;
    }
    auto before = c;
    patch_signature(c.data(), CHUNK_SIZE, 18);
    size_t changed = 0;
    for (size_t i = 0; i < CHUNK_SIZE; ++i) changed += c[i] != before[i];
    EXPECT_EQ(changed, t.patched.size() * 2) << t.records[0];
    for (uint32_t p : t.patched) EXPECT_EQ(c[p], 18) << p;
  }
  // A 2 KB last chunk: the search ends at q = 2048 - 22.
  auto c = chunk_with_records({2026});
  c[2023] = 0;
  patch_signature(c.data(), 2048, 18);
  EXPECT_EQ(c[2023], 18);
  auto d = chunk_with_records({2034});
  d[2031] = 0;
  patch_signature(d.data(), 2048, 18);
  EXPECT_EQ(d[2031], 0);
  // "ZORBIOSX": all eight letters count.
  auto f = chunk_with_records({42});
  f[49] = 'X';
  auto f_before = f;
  patch_signature(f.data(), CHUNK_SIZE, 18);
  EXPECT_EQ(f, f_before);
  // A byte that already holds the value changes nothing.
  auto e = chunk_with_records({42});
  e[39] = 18;
  auto e_before = e;
  patch_signature(e.data(), CHUNK_SIZE, 18);
  EXPECT_EQ(e, e_before);
}

class NcScan : public ::testing::Test {
 protected:
  void SetUp() override { nc_blocks = {}; }
  void TearDown() override { nc_blocks = {}; }
  std::vector<uint8_t> chunk(const std::vector<std::pair<uint32_t, uint32_t>>& headers) {
    std::vector<uint8_t> c(CHUNK_SIZE + 4, 0x11);
    for (auto [at, len] : headers) {
      memcpy(&c[at], "ZORNCBLK", 8);
      put_le32(&c[at + 12], len);
    }
    return c;
  }
};

TEST_F(NcScan, FirstAlignedHeaderPerChunk) {
  scan_nc_blocks(chunk({{0, 0x8000}}).data(), CHUNK_SIZE, 0x10000);
  scan_nc_blocks(chunk({{8, 0x100}}).data(), CHUNK_SIZE, 0x11000);  // not a multiple of 16
  scan_nc_blocks(chunk({{0x30, 0x200}, {0x40, 0x300}}).data(), CHUNK_SIZE, 0x12000);
  scan_nc_blocks(chunk({{4080, 0x400}}).data(), CHUNK_SIZE, 0x13000);
  auto near = chunk({{0x20, 0x100}});
  near[0x27] = 'X';  // "ZORNCBLX": all eight letters count
  scan_nc_blocks(near.data(), CHUNK_SIZE, 0x14000);
  ASSERT_EQ(nc_blocks.nc_count, 3);
  EXPECT_EQ(nc_blocks.nc_start[0], 0x10000u);
  EXPECT_EQ(nc_blocks.nc_size[0], 0x8000u);
  EXPECT_EQ(nc_blocks.nc_start[1], 0x12030u);
  EXPECT_EQ(nc_blocks.nc_size[1], 0x200u);
  EXPECT_EQ(nc_blocks.nc_start[2], 0x13FF0u);
  EXPECT_EQ(nc_blocks.nc_size[3], 0u);
}

// The first header on the 16-byte grid, against a plain walk of the grid, among 'Z's and
// near-misses on and off it, in whole and shorter chunks.
TEST_F(NcScan, HeaderAmongOtherZs) {
  for (uint8_t fill : {uint8_t{0x11}, uint8_t{'Z'}}) {
    for (uint32_t len : {CHUNK_SIZE, 2048u, 32u, 16u, 15u}) {
      for (uint32_t at : {0u, 16u, 0x7F0u, 0x840u, 0xFF0u, 5u, 0x801u}) {
        std::vector<uint8_t> c(CHUNK_SIZE + 4, fill);
        memcpy(&c[0x20], "ZORNCBL", 7);  // one letter short
        if (at + 8 <= c.size()) memcpy(&c[at], "ZORNCBLK", 8);
        int want = -1;
        for (uint32_t q = 0; q + 16 <= len && want < 0; q += 16) {
          if (memcmp(&c[q], "ZORNCBLK", 8) == 0) want = static_cast<int>(q);
        }
        EXPECT_EQ(find_nc_header(c.data(), len), want) << int{fill} << " " << len << " " << at;
      }
    }
  }
}

TEST_F(NcScan, NinthHeaderEndsTheRun) {
  auto c = chunk({{0, 0x100}});
  for (uint32_t i = 0; i < 8; ++i) scan_nc_blocks(c.data(), CHUNK_SIZE, i * CHUNK_SIZE);
  EXPECT_EQ(nc_blocks.nc_count, 8);
  EXPECT_EXIT(scan_nc_blocks(c.data(), CHUNK_SIZE, 8 * CHUNK_SIZE),
              ::testing::ExitedWithCode(EXIT_TOO_MANY_NC),
              "");
}

// In compare mode a file shorter than the ROM loads to the ROM's end: each chunk holds what the
// file gave over the bytes of the chunk before it, and is scanned at its full length.
TEST(Load, ShortFileInCompareMode) {
  InfoWindow w(16, {{0xFC000, 0x4000}}, 0, {});
  ASSERT_EQ(w.install(), 1);
  std::vector<uint8_t> file(CHUNK_SIZE + 100);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + 3);
  memcpy(&file[0x100], "ZORNCBLK", 8);
  rom_file = tmpfile();
  ASSERT_NE(rom_file, nullptr);
  ASSERT_EQ(fwrite(file.data(), 1, file.size(), rom_file), file.size());
  auto saved = options;
  options.compare = options.quiet = 1;
  nc_blocks = {};
  size_ok = 1;
  alloc_image();
  load_rom_image();
  std::vector<uint8_t> want(file.begin(), file.begin() + CHUNK_SIZE);
  for (uint32_t k = 1; k < 4; ++k) {
    std::vector<uint8_t> next(want.end() - CHUNK_SIZE, want.end());
    if (k == 1) std::copy(file.begin() + CHUNK_SIZE, file.end(), next.begin());
    want.insert(want.end(), next.begin(), next.end());
  }
  EXPECT_TRUE(std::equal(want.begin(), want.end(), image_slot));
  EXPECT_EQ(size_ok, 0);
  EXPECT_EQ(nc_blocks.nc_count, 4);
  EXPECT_EQ(nc_blocks.nc_start[3], 0x3100u);
  free_image();
  close_rom_file();
  options = saved;
  nc_blocks = {};
}

TEST(BootBlockRegion, SumAndMarker) {
  std::vector<uint8_t> r(64, 0);
  put_le32(&r[0], 0x12345678);
  put_le32(&r[60], 0u - 0x12345678u);
  EXPECT_EQ(word_sum(r.data(), 64), 0u);
  EXPECT_EQ(has_bbm_marker(r.data(), 64), 0);
  memcpy(&r[59], "$BBM", 4);  // starts at the fifth-last byte: found
  EXPECT_EQ(has_bbm_marker(r.data(), 64), 1);
  std::vector<uint8_t> s(64, 0);
  memcpy(&s[60], "$BBM", 4);  // the last four bytes are not searched
  EXPECT_EQ(has_bbm_marker(s.data(), 64), 0);
  EXPECT_EQ(has_bbm_marker(s.data(), 3), 0);
  memcpy(&s[10], "$BB$$BBM", 8);  // a '$' that starts no marker does not end the search
  EXPECT_EQ(has_bbm_marker(s.data(), 64), 1);
}

// The boot-block region is the boot-block entries' bytes in address order, whatever order the
// table lists them in; the same check then runs on the loaded image. The file sums to zero over
// the boot blocks only, with a word elsewhere that a region taken by table order would cover.
TEST(BootBlockRegion, FoundByAddressInTheFileAndTheImage) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> blocks;  // the last `boot` entries are the boot block
    uint16_t boot;
  } cases[] = {
      {"ascending", {{0x80000, 0x70000}, {0xF0000, 0x8000}, {0xF8000, 0x8000}}, 2},
      {"descending", {{0x80000, 0x70000}, {0xF8000, 0x8000}, {0xF0000, 0x8000}}, 2},
      {"apart", {{0x88000, 0x78000}, {0xF8000, 0x8000}, {0x80000, 0x8000}}, 2},
      {"one, at the bottom", {{0x88000, 0x78000}, {0x80000, 0x8000}}, 1},
  };
  char path[] = "/tmp/zorfl-rom-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  snprintf(options.in_name, sizeof options.in_name, "%s", path);
  options.compare = options.prog_bootblock = options.prog_nvram = options.check_rom_id = 0;
  for (const auto& c : cases) {
    InfoWindow w(512, c.blocks, c.boot, {});
    ASSERT_EQ(w.install(), 1);
    uint32_t low = 0xFFFFFFFF, high = 0;
    for (size_t i = c.blocks.size() - c.boot; i < c.blocks.size(); ++i) {
      low = std::min(low, c.blocks[i].first - 0x80000);
      high = std::max(high, c.blocks[i].first - 0x80000 + c.blocks[i].second);
    }
    std::vector<uint8_t> file(0x80000, 0);
    put_le32(&file[low], 0x12345678);
    put_le32(&file[high - 4], 0u - 0x12345678u);
    put_le32(&file[c.blocks[0].first - 0x80000 + 0x100], 7);  // in a main block
    FILE* out = fopen(path, "wb");
    ASSERT_EQ(fwrite(file.data(), 1, file.size(), out), file.size());
    fclose(out);
    ASSERT_EQ(open_rom_file(), 1);
    std::vector<uint8_t> image(file);
    image.resize(0x80004);
    // The file's region checked, then the image's: as read, with a change that keeps the sum
    // (a signature patch makes one), and with one that breaks it.
    auto check_then_recheck = [&]() {
      EXPECT_EQ(check_boot_block(), 0) << c.name;
      EXPECT_EQ(image_slot, nullptr) << c.name;
      image_slot = image.data();
      size_ok = bootblock_ok = 1;
      int r = recheck_loaded_image();
      image_slot = nullptr;
      return r;
    };
    EXPECT_EQ(check_then_recheck(), 0) << c.name;
    image[low + 4] = 1;
    image[low + 8] = 0xFF;
    image[low + 9] = 0xFF;
    image[low + 10] = 0xFF;
    image[low + 11] = 0xFF;
    EXPECT_EQ(check_then_recheck(), 0) << c.name;
    image[high - 8] ^= 1;
    EXPECT_EQ(check_then_recheck(), EXIT_NO_INPUT) << c.name;
    EXPECT_EQ(checked_region, nullptr) << c.name;
    close_rom_file();
  }
  // A marker across two boot blocks listed top first is found where they meet.
  InfoWindow w(512, cases[1].blocks, 2, {});
  ASSERT_EQ(w.install(), 1);
  std::vector<uint8_t> file(0x80000, 0);
  memcpy(&file[0x77FFE], "$BBM", 4);
  FILE* out = fopen(path, "wb");
  ASSERT_EQ(fwrite(file.data(), 1, file.size(), out), file.size());
  fclose(out);
  ASSERT_EQ(open_rom_file(), 1);
  EXPECT_EQ(check_boot_block(), EXIT_NEED_BOOT_NVRAM);
  free_image();
  // A BIOS that reports no ROM size: /d of an empty file has no ROM ID to look at in the image.
  InfoWindow none(0, {}, 0, {});
  ASSERT_EQ(none.install(), 1);
  options.check_rom_id = options.compare = 1;
  image_slot = alloc_buffer(0);
  rom_id_ok = 0;
  EXPECT_EQ(recheck_loaded_image(), 0);
  EXPECT_EQ(rom_id_ok, 0);
  free_image();
  close_rom_file();
  options.compare = 0;
  size_ok = bootblock_ok = 0;
  unlink(path);
}

// Which of the default machine's ten blocks a pass handles, as a string of 0 and 1. The ROM
// file holds four non-critical blocks, at the file offsets of blocks 1 to 4.
class Selection : public ::testing::Test {
 protected:
  InfoWindow layout = default_layout();
  void SetUp() override {
    ASSERT_EQ(layout.install(), 1);
    nc_blocks = {};
    for (int i = 0; i < 4; ++i) {
      nc_blocks.nc_start[i] = 0x10000u * (i + 1);
      nc_blocks.nc_size[i] = 0x10000;
    }
    nc_blocks.nc_count = 4;
  }
  void TearDown() override { nc_blocks = {}; }
  std::string pass(PassKind kind) {
    std::string s;
    for (uint32_t i = 0; i < block_count(); ++i) s += block_selected(block_address(i), kind) ? '1' : '0';
    return s;
  }
};

TEST_F(Selection, EveryOptionSet) {
  struct Case {
    std::vector<std::string> args;
    const char* main;
    const char* boot;
  } cases[] = {
      {{"/ix"}, "1000010000", "0000000000"},
      {{"/ix", "/pbn"}, "1000011100", "0000000011"},
      {{"/ix", "/pb"}, "1000010000", "0000000011"},
      {{"/ix", "/k"}, "0111100000", "0000000000"},
      {{"/ix", "/k2"}, "0001000000", "0000000000"},
      {{"/ix", "/k5"}, "0000000000", "0000000000"},
      {{"/ix", "/c"}, "1111110000", "0000000000"},
      {{"/ix", "/c3"}, "1000110000", "0000000000"},
      {{"/ix", "/c", "/pn"}, "1111111100", "0000000000"},
      {{"/ix", "/k", "/pbn"}, "0111100000", "0000000000"},
  };
  for (const auto& c : cases) {
    std::vector<char*> argv;
    static char prog[] = "zorflashlnx2";
    argv.push_back(prog);
    std::vector<std::string> args = c.args;
    for (auto& a : args) argv.push_back(a.data());
    options.nc_index = NC_ALL;
    ASSERT_EQ(parse_options(static_cast<int>(argv.size()), argv.data()), 1);
    EXPECT_EQ(pass(MainPass), c.main) << c.args.back();
    EXPECT_EQ(pass(BootBlockPass), c.boot) << c.args.back();
  }
}

TEST_F(Selection, NonCriticalRanges) {
  options.nc_index = NC_ALL;
  EXPECT_EQ(in_any_nc_block(0x10000), 1);
  EXPECT_EQ(in_any_nc_block(0x4FFFF), 1);
  EXPECT_EQ(in_any_nc_block(0x50000), 0);
  EXPECT_EQ(in_any_nc_block(0xFFFF), 0);
  options.nc_index = 1;
  EXPECT_EQ(in_selected_nc_block(0x20000), 1);
  EXPECT_EQ(in_selected_nc_block(0x10000), 0);
  options.nc_index = 7;  // an entry the load did not fill matches nothing, not even offset 0
  EXPECT_EQ(in_selected_nc_block(0), 0);
  options.nc_index = NC_ALL;
}

TEST(BlockCheck, OnlyWholeKilobytesInsideTheImage) {
  struct Case {
    std::vector<std::pair<uint32_t, uint32_t>> blocks;
    int ok;
    uint32_t bad;
  } cases[] = {
      {{{0x80000, 0x40000}, {0xC0000, 0x40000}}, 1, 0},
      {{{0x80000, 0x40000}, {0xC0000, 0x3FF00}}, 0, 0xC0000},  // tail not whole KB
      {{{0x80000, 0}}, 0, 0x80000},
      {{{0x7F000, 0x1000}}, 0, 0x7F000},                        // below RomBase
      {{{0xFF000, 0x2000}}, 0, 0xFF000},                        // past the image end
      {{{0xFFFFF000, 0x2000}}, 0, 0xFFFFF000},                  // wraps past 4 GB
  };
  for (const auto& c : cases) {
    InfoWindow w(512, c.blocks, 0, {});
    ASSERT_EQ(w.install(), 1);
    options.prog_main = 1;
    options.nc_mode = options.prog_bootblock = options.prog_nvram = 0;
    uint32_t bad = 0;
    EXPECT_EQ(check_selected_blocks(&bad), c.ok) << std::hex << c.blocks.back().first;
    EXPECT_EQ(bad, c.bad);
  }
  // A block that no pass handles is not held against the run.
  InfoWindow w(512, {{0x80000, 0x7FC00}, {0xFFC00, 0x100}}, 1, {});
  ASSERT_EQ(w.install(), 1);
  uint32_t bad = 0;
  EXPECT_EQ(check_selected_blocks(&bad), 1);
  options.prog_bootblock = 1;
  EXPECT_EQ(check_selected_blocks(&bad), 0);
  EXPECT_EQ(bad, 0xFFC00u);
  options.prog_bootblock = 0;
}

// A BIOS table entry larger than the ROM can never be programmed or read from the file; the run
// must not size a buffer by it (a fuzzed table made the tool ask for 3.7 GB).
TEST(Buffers, EntriesLargerThanTheRomSizeNothing) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> blocks;  // the last one is the boot block
    int boot_check;
  } cases[] = {
      {"inside", {{0x80000, 0x20000}, {0xA0000, 0x50000}, {0xF0000, 0x10000}}, 0},
      {"huge main entry", {{0x80000, 0x20000}, {0xA0000, 0xFFFFFC00}, {0xF0000, 0x10000}}, 0},
      {"boot block past the ROM's end", {{0x80000, 0x70000}, {0xF0000, 0x20000}}, EXIT_FILE_READ},
      {"boot block of 4 GB", {{0x80000, 0x70000}, {0xF0000, 0xFFFF0000}}, EXIT_FILE_READ},
      {"boot block the whole ROM", {{0x80000, 0x80000}}, 0},
  };
  rom_file = tmpfile();
  ASSERT_NE(rom_file, nullptr);
  std::vector<uint8_t> zeros(0x80000, 0);
  ASSERT_EQ(fwrite(zeros.data(), 1, zeros.size(), rom_file), zeros.size());
  options.compare = 1;  // no report printed
  for (const auto& c : cases) {
    InfoWindow w(512, c.blocks, 1, {});
    // A size word right after the table, which is no entry of it.
    put_le32(&w.bytes[InfoWindow::TABLE + 8 + 8 * c.blocks.size()], 0x10000);
    ASSERT_EQ(w.install(), 1);
    EXPECT_EQ(check_boot_block(), c.boot_check) << c.name;
    EXPECT_EQ(image_slot, nullptr) << c.name;  // refused before any buffer was asked for
    free_image();
  }
  options.compare = 0;
  close_rom_file();
}

}  // namespace
