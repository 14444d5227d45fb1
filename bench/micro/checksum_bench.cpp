// The checksum that every read and write piece of 1 KB carries.
#include <benchmark/benchmark.h>

#include "data.h"
#include "flash/commands.h"

namespace {

void word_checksum_piece(benchmark::State& state) {
  uint32_t size = static_cast<uint32_t>(state.range(0));
  Bytes piece = noise(size);
  for (auto _ : state) {
    benchmark::DoNotOptimize(piece.data());
    uint32_t sum = word_checksum(piece.data(), size);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

}  // namespace

BENCHMARK(word_checksum_piece)->Name("word_checksum")->Arg(TRANSFER_SIZE);
