// The boot-block check over a 64 KB region read from the ROM file: its word sum and the
// "$BBM" marker search (no marker, so the search covers the whole region).
#include <benchmark/benchmark.h>

#include "data.h"
#include "rom/validate.h"

namespace {

void word_sum_region(benchmark::State& state) {
  uint32_t size = static_cast<uint32_t>(state.range(0));
  Bytes region = noise(size, 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(region.data());
    uint32_t sum = word_sum(region.data(), size);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void bbm_search(benchmark::State& state) {
  uint32_t size = static_cast<uint32_t>(state.range(0));
  Bytes region = noise(size, 3);
  int found = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(region.data());
    found |= has_bbm_marker(region.data(), size);
    benchmark::DoNotOptimize(found);
  }
  if (found) state.SkipWithError("noise holds a marker");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

}  // namespace

BENCHMARK(word_sum_region)->Name("word_sum")->Arg(65536);
BENCHMARK(bbm_search)->Arg(65536);
