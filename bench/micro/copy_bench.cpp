// memcpy of the same sizes as the tool's passes: the yardstick each of them is read against.
#include <benchmark/benchmark.h>

#include <cstring>

#include "data.h"

namespace {

void copy(benchmark::State& state) {
  uint32_t size = static_cast<uint32_t>(state.range(0));
  Bytes source = noise(size);
  Bytes destination = noise(size, 9);
  for (auto _ : state) {
    memcpy(destination.data(), source.data(), size);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

}  // namespace

// 1 KB transfer piece, 4 KB load chunk, 64 KB boot-block region, the 8191-entry block table.
BENCHMARK(copy)->Arg(1024)->Arg(4096)->Arg(65536)->Arg(8191 * 8);
