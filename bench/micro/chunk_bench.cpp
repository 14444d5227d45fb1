// The pass the load makes over each 4 KB chunk as it lies in the image: the
// signature patch (the /s case), then the search for a non-critical block header.
#include <benchmark/benchmark.h>

#include "data.h"
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

void run_chunk_pass(benchmark::State& state, const Bytes& chunk, uint8_t expect_count) {
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
