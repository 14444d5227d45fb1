// Writes seed inputs for the fuzz targets, from a virtual PC's machine and ROM files made for it.
//
//   fuzz_seeds cmdline OUT
//   fuzz_seeds romfile OUT STATE ROM...
//   fuzz_seeds discovery OUT STATE
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_seed(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

uint32_t le16(const Bytes& b, size_t at) { return b.at(at) | (b.at(at + 1) << 8); }
uint32_t le32(const Bytes& b, size_t at) { return le16(b, at) | (le16(b, at + 2) << 16); }
void put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
void append(Bytes& b, const Bytes& more, size_t from, size_t count) {
  b.insert(b.end(), more.begin() + static_cast<long>(from), more.begin() + static_cast<long>(from + count));
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Where the machine's BIOS records are, as the tool finds them.
struct Layout {
  Bytes mem;
  uint32_t header;       // physical address of "$QZX"
  uint32_t header_used;  // bytes from the header to the end of its parameter block
  uint32_t info;         // physical address of the flash-info segment
  uint32_t pointer;      // offset of the record pointer in that segment
  uint32_t info_used;    // bytes of the segment up to the end of the last table
};

Layout find_layout(const std::string& state) {
  Layout l;
  l.mem = read_file(state + "/physmem");
  l.header = 0;
  for (uint32_t a = 0xF0000; a + 4 <= 0xFFFFF; ++a) {
    if (l.mem.at(a) == '$' && l.mem[a + 1] == 'Q' && l.mem[a + 2] == 'Z' && l.mem[a + 3] == 'X') {
      l.header = a;
      break;
    }
  }
  if (l.header == 0) throw std::runtime_error("no header in " + state);
  l.header_used = std::max<uint32_t>(14, l.mem[l.header + 4] + 17);
  l.info = le16(l.mem, l.header + 10) * 16;
  l.pointer = le16(l.mem, l.header + 8);
  uint32_t record = le32(l.mem, l.info + l.pointer);
  uint32_t table = le16(l.mem, l.info + record + 10);
  uint32_t nvram = le16(l.mem, l.info + record + 12);
  l.info_used = std::max({l.pointer + 4, record + 14, table + 4 + 8 * le16(l.mem, l.info + table),
                          nvram + 2 + 8 * le16(l.mem, l.info + nvram)});
  return l;
}

// flags and select bytes worth starting from (see fuzz/fuzz.h): /i, /d, /n, /pbn, /s, /q, /k,
// /k2, /c, /c0 with /pn, and the ROM size or ID taken from the file.
const uint8_t MODES[][2] = {{0x02, 0x0F}, {0x03, 0x0F}, {0x00, 0x0F}, {0x0E, 0x0F}, {0x12, 0x0F},
                            {0x22, 0x0F}, {0x42, 0x1F}, {0x82, 0x12}, {0xC2, 0x2F}, {0xCA, 0x20},
                            {0xC3, 0x0F}, {0xDE, 0x3F}};

void romfile_seeds(const std::string& out, const std::string& state, const std::vector<std::string>& roms) {
  Layout l = find_layout(state);
  int n = 0;
  for (const auto& rom : roms) {
    Bytes file = read_file(rom);
    for (const auto& mode : MODES) {
      Bytes seed = {mode[0], mode[1]};
      put16(seed, l.pointer);
      put16(seed, l.info_used);
      append(seed, l.mem, l.info, l.info_used);
      append(seed, file, 0, file.size());
      write_seed(out + "/romfile-" + base_name(rom) + "-" + std::to_string(n++), seed);
    }
  }
}

void discovery_seeds(const std::string& out, const std::string& state) {
  Layout l = find_layout(state);
  int n = 0;
  for (const auto& mode : MODES) {
    Bytes seed = {mode[0], mode[1], 2};
    // Two non-critical entries: the first KB of the ROM, and a block that wraps past 4 GB.
    uint32_t starts[8] = {0, 0xFFFFFC00}, sizes[8] = {0x400, 0x800};
    for (uint32_t s : starts) put32(seed, s);
    for (uint32_t s : sizes) put32(seed, s);
    put16(seed, l.header - 0xF0000);
    put16(seed, l.header_used);
    append(seed, l.mem, l.header, l.header_used);
    put16(seed, 0);
    append(seed, l.mem, l.info, l.info_used);
    write_seed(out + "/discovery-" + base_name(state) + "-" + std::to_string(n++), seed);
  }
}

void cmdline_seeds(const std::string& out) {
  const std::vector<std::vector<std::string>> lines = {
      {"/inew.rom"},
      {"/obackup.rom", "/inew.rom", "/pbn"},
      {"/inew.rom", "/d", "/n"},
      {"/inew.rom", "/k3", "/q", "/s"},
      {"/inew.rom", "/c", "/pc", "/t"},
      {"/unew.rom", "/t"},
      {"/h"},
      {"/k300"},
      {"/c-1", "/p"},
  };
  int n = 0;
  for (const auto& line : lines) {
    Bytes seed;
    for (size_t i = 0; i < line.size(); ++i) {
      if (i > 0) seed.push_back(0);
      seed.insert(seed.end(), line[i].begin(), line[i].end());
    }
    write_seed(out + "/cmdline-" + std::to_string(n++), seed);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 2 && args[0] == "cmdline") {
      cmdline_seeds(args[1]);
    } else if (args.size() >= 4 && args[0] == "romfile") {
      romfile_seeds(args[1], args[2], std::vector<std::string>(args.begin() + 3, args.end()));
    } else if (args.size() == 3 && args[0] == "discovery") {
      discovery_seeds(args[1], args[2]);
    } else {
      fputs("usage: fuzz_seeds cmdline OUT | romfile OUT STATE ROM... | discovery OUT STATE\n", stderr);
      return 2;
    }
  } catch (const std::exception& e) {
    fprintf(stderr, "fuzz_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
