// The pass the load makes over each 4 KB chunk while it sits in the scratch buffer: the
// signature patch (the /s case), then the search for a non-critical block header.
#include <benchmark/benchmark.h>

#include "data.h"
#include "reference.h"
#include "rom/image.h"

namespace {

constexpr int8_t SIGNATURE_VALUE = 18;

// Markers late in the chunk, so that both searches cover nearly all of it before they stop;
// their fields do not overlap, so one patch leaves the header intact.
Bytes chunk_with_matches() {
  Bytes c = noise(CHUNK_SIZE, 2);
  plant(c, 4016, "ZORNCBLK");
  plant(c, 4050, "ZORBIOSC");
  return c;
}

// Both searches give what the plain loops give, on chunks of every length up to 4200 bytes.
bool agrees_with_plain_loops() {
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    Sample s = sample(rng);
    std::vector<uint8_t> plain(s.bytes, s.bytes + s.len + 4);
    int8_t value = static_cast<int8_t>(rng());
    patch_signature(s.bytes, s.len, value);
    plain_patch(plain.data(), s.len, value);
    if (memcmp(s.bytes, plain.data(), s.len + 4) != 0) return false;
    if (find_nc_header(s.bytes, s.len) != plain_find_nc(s.bytes, s.len)) return false;
  }
  return true;
}

void run_chunk_pass(benchmark::State& state, const Bytes& chunk, uint8_t expect_count) {
  static const bool agrees = agrees_with_plain_loops();  // once: the benchmark runs many times
  if (!agrees) {
    state.SkipWithError("differs from the plain loops");
    return;
  }
  for (auto _ : state) {
    nc_blocks = {};  // the list is process-wide and a ninth header would end the process
    benchmark::DoNotOptimize(chunk.data());
    patch_signature(chunk.data(), CHUNK_SIZE, SIGNATURE_VALUE);
    scan_nc_blocks(chunk.data(), CHUNK_SIZE, 0);
    benchmark::ClobberMemory();
  }
  if (nc_blocks.nc_count != expect_count) state.SkipWithError("unexpected header count");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * CHUNK_SIZE);
}

void chunk_pass_plain(benchmark::State& state) {
  Bytes c = noise(CHUNK_SIZE, 2);
  Bytes before = noise(CHUNK_SIZE, 2);
  run_chunk_pass(state, c, 0);
  if (!same(c, before)) state.SkipWithError("a chunk without records was changed");
}

void chunk_pass_matches(benchmark::State& state) {
  Bytes c = chunk_with_matches();
  run_chunk_pass(state, c, 1);
  if (c[4047] != static_cast<uint8_t>(SIGNATURE_VALUE)) state.SkipWithError("record not patched");
}

}  // namespace

BENCHMARK(chunk_pass_plain)->Arg(CHUNK_SIZE);
BENCHMARK(chunk_pass_matches)->Arg(CHUNK_SIZE);
