#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "flash/commands.h"
#include "flash/layout.h"
#include "fuzz.h"
#include "rom/image.h"
#include "rom/romfile.h"
#include "rom/validate.h"
#include "run/errors.h"
#include "run/options.h"
#include "run/record.h"
#include "run/signals.h"

jmp_buf fuzz_end;
int fuzz_exit_code;

namespace {
// options is constant-initialised, so this copy sees the tool's defaults.
const RunOptions initial_options = options;
}  // namespace

// Takes the place of the library's fail_exit (its object is then never linked): the run ends,
// the target goes on with the next input. The target's fuzz_reset releases what the run held.
void fail_exit(int code) {
  fuzz_exit_code = code;
  longjmp(fuzz_end, 1);
}

void fuzz_reset() {
  free_image();
  close_rom_file();
  record_forget();
  nc_blocks = {};
  release_stop_signals();
  options = initial_options;
  size_ok = rom_id_ok = bootblock_ok = 0;
  rom_size = RomBase = 0;
  block_table = nvram_list = nullptr;
  flash_header = param_block = transfer_buffer = nullptr;
  fuzz_exit_code = 0;
}

void fuzz_silence_stdout() {
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
}

void fuzz_options(uint8_t flags, uint8_t select, const char* rom_path) {
  std::vector<std::string> words = {"zorflashlnx2"};
  if (rom_path != nullptr) words.push_back(std::string("/i") + rom_path);
  if (flags & 0x01) words.push_back("/d");
  if (!(flags & 0x02)) words.push_back("/n");
  if (flags & 0x0C) words.push_back(std::string("/p") + (flags & 0x04 ? "b" : "") + (flags & 0x08 ? "n" : ""));
  if (flags & 0x10) words.push_back("/s");
  if (flags & 0x20) words.push_back("/q");
  std::string number = (select & 0x0F) <= NC_ALL ? std::to_string(select & 0x0F) : "";
  if (select & 0x10) words.push_back("/k" + number);
  if (select & 0x20) words.push_back("/c" + number);
  if (words.size() == 1) words.push_back("/t");  // a run that only shows the ROM ID
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  fuzz_require(parse_options(static_cast<int>(words.size()), argv.data()) == 1, "options refused");
}

void fuzz_require(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "fuzz: %s\n", what);
  abort();
}
