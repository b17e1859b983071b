// Internals shared by the SimHash kernels. A kernel counts, for each of the 64
// bit positions, how many whole 4-byte chunks have that bit set in their
// widened hash; simhash64 turns the counts into votes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane::find_copies::detail {

inline constexpr std::uint32_t kFnvBasis = 0x811C9DC5u;
inline constexpr std::uint32_t kFnvPrime = 0x01000193u;
inline constexpr std::uint64_t kWiden = 0x9E3779B97F4A7C15ull;

inline std::uint64_t widened_chunk_hash(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  std::uint32_t h = kFnvBasis;
  h = (h ^ b0) * kFnvPrime;
  h = (h ^ b1) * kFnvPrime;
  h = (h ^ b2) * kFnvPrime;
  h = (h ^ b3) * kFnvPrime;
  std::uint64_t wide = h;
  return wide ^ (wide * kWiden);
}

// Adds to ones[i] the number of the `chunks` whole chunks starting at `data`
// whose widened hash has bit i set. Returns how many chunks it consumed: a
// SIMD kernel may leave a remainder for the portable one.
using ChunkKernel = std::size_t (*)(const unsigned char* data, std::size_t chunks, std::uint64_t* ones);

std::size_t count_chunk_bits_portable(const unsigned char* data, std::size_t chunks, std::uint64_t* ones);

// The AVX2 kernel when this build has one and the processor supports it,
// else nullptr.
ChunkKernel simd_chunk_kernel();

}  // namespace corvane::find_copies::detail
