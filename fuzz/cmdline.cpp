// The command line: the input split at NUL bytes into at most 64 words after the program name,
// through the option parser, the banner and the usage.
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz.h"
#include "rom/image.h"
#include "run/options.h"

namespace {

constexpr size_t MAX_WORDS = 64;

bool terminated(const char* name) { return memchr(name, '\0', NAME_SIZE) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words = {"zorflashlnx2"};
  size_t start = 0;
  for (size_t i = 0; i <= size && words.size() <= MAX_WORDS; ++i) {
    if (i == size || data[i] == '\0') {
      words.emplace_back(reinterpret_cast<const char*>(data) + start, i - start);
      start = i + 1;
    }
  }
  if (size == 0) words.pop_back();  // no input: the program name alone
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  int ok = parse_options(static_cast<int>(words.size()), argv.data());
  show_banner();
  if (!ok) {
    show_usage();
  } else {
    // What the rest of the run relies on.
    fuzz_require(terminated(options.in_name) && terminated(options.out_name) &&
                     terminated(options.id_name),
                 "a file name fills its buffer");
    fuzz_require(options.nc_index <= NC_ALL, "block number above 8");
    fuzz_require(!options.compare || !(options.prog_main || options.prog_bootblock || options.prog_nvram),
                 "/d would program");
  }
  fuzz_reset();
  return 0;
}
