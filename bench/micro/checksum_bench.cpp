// The checksum that every read and write piece of 1 KB carries.
#include <benchmark/benchmark.h>

#include "data.h"
#include "reference.h"
#include "flash/commands.h"

namespace {

void word_checksum_piece(benchmark::State& state) {
  uint32_t size = static_cast<uint32_t>(state.range(0));
  Bytes piece = noise(size);
  for (uint32_t len = 0; len <= size; ++len) {  // every length, and every start within 64 bytes
    uint32_t at = len % 64;
    if (word_checksum(piece.data() + at, size - at) != ~plain_sum(piece.data() + at, size - at) ||
        word_checksum(piece.data(), len) != ~plain_sum(piece.data(), len)) {
      state.SkipWithError("differs from the plain loop");
      return;
    }
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(piece.data());
    uint32_t sum = word_checksum(piece.data(), size);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

}  // namespace

BENCHMARK(word_checksum_piece)->Name("word_checksum")->Arg(TRANSFER_SIZE);
