// Throughput of the copy finder's hot loops on one core: SimHash over a
// sample, and SHA-256 of a file already in the page cache.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "modules/find_copies/simhash.h"

namespace corvane::find_copies {
namespace {

std::vector<unsigned char> random_bytes(std::size_t size) {
  std::mt19937_64 random(42);
  std::vector<unsigned char> data(size);
  for (auto& b : data) b = static_cast<unsigned char>(random());
  return data;
}

template <std::uint64_t (*Fn)(std::span<const unsigned char>)>
void BM_Simhash(benchmark::State& state) {
  auto data = random_bytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Fn(data));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// 196,608 bytes: the sample of a file over 1 MiB; 1 MiB: the largest whole-file sample.
BENCHMARK(BM_Simhash<simhash64>)->Name("simhash64")->Arg(196608)->Arg(1 << 20);
BENCHMARK(BM_Simhash<simhash64_portable>)->Name("simhash64_portable")->Arg(196608)->Arg(1 << 20);
BENCHMARK(BM_Simhash<simhash64_reference>)->Name("simhash64_reference")->Arg(1 << 20);

}  // namespace
}  // namespace corvane::find_copies

BENCHMARK_MAIN();
