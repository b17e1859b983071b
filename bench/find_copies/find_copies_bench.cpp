// Throughput of the copy finder's hot loops on one core: SimHash over a
// sample, and SHA-256 of a file already in the page cache.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "modules/find_copies/simhash.h"
#include "modules/find_copies/simhash_reference.h"
#include "modules/fs_noatime/fs_noatime.h"

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

// SHA-256 through the same EVP/BCrypt wrapper the exact mode uses, over
// 64 KiB blocks as the file reader feeds it.
void BM_Sha256Blocks(benchmark::State& state) {
  auto data = random_bytes(fs_noatime::kReadBufferSize);
  for (auto _ : state) {
    fs_noatime::Sha256 hash;
    for (int i = 0; i < 256; ++i) hash.update(data.data(), data.size());  // 16 MiB
    benchmark::DoNotOptimize(hash.finish().value());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256 * 65536);
}
BENCHMARK(BM_Sha256Blocks)->Name("sha256_64KiB_blocks");

// sha256_file_hex of a 64 MiB file in the page cache: hashing plus reads.
void BM_Sha256File(benchmark::State& state) {
  const std::size_t size = 64u << 20;
  std::filesystem::path path = std::filesystem::temp_directory_path() / "corvane-bench-sha256.bin";
  {
    auto block = random_bytes(1 << 20);
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size >> 20; ++i) out.write(reinterpret_cast<const char*>(block.data()), 1 << 20);
  }
  std::string text = path.string();
  benchmark::DoNotOptimize(fs_noatime::sha256_file_hex(text));  // warm the cache
  for (auto _ : state) benchmark::DoNotOptimize(fs_noatime::sha256_file_hex(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
  std::filesystem::remove(path);
}
BENCHMARK(BM_Sha256File)->Name("sha256_file_hex_64MiB")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvane::find_copies

BENCHMARK_MAIN();
