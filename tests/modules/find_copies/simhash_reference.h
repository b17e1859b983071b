// The SimHash fingerprint computed bit by bit, chunk by chunk, straight from
// its definition (see simhash64): the oracle the fast kernels are checked
// and measured against. Deliberately shares nothing with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::find_copies {

inline std::uint64_t simhash64_reference(std::span<const unsigned char> sample) {
  constexpr std::uint32_t kFnvBasis = 0x811C9DC5u;
  constexpr std::uint32_t kFnvPrime = 0x01000193u;
  constexpr std::uint64_t kWiden = 0x9E3779B97F4A7C15ull;
  std::int64_t counters[64] = {};
  for (std::size_t at = 0; at < sample.size(); at += 4) {
    unsigned char chunk[4] = {};
    for (std::size_t k = 0; k < 4 && at + k < sample.size(); ++k) chunk[k] = sample[at + k];
    std::uint32_t h = kFnvBasis;
    for (unsigned char byte : chunk) h = (h ^ byte) * kFnvPrime;
    std::uint64_t wide = h;
    std::uint64_t h64 = wide ^ (wide * kWiden);
    for (unsigned i = 0; i < 64; ++i) counters[i] += ((h64 >> i) & 1u) ? 1 : -1;
  }
  std::uint64_t fingerprint = 0;
  for (unsigned i = 0; i < 64; ++i) {
    if (counters[i] > 0) fingerprint |= std::uint64_t{1} << i;
  }
  return fingerprint;
}

}  // namespace corvane::find_copies
