#include "modules/find_copies/simhash.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "modules/find_copies/simhash_kernel.h"

namespace corvane::find_copies {

namespace detail {

namespace {

// kSpread[b] holds, in byte k, bit k of b: adding such words counts eight bit
// positions at once in byte-wide lanes.
constexpr std::array<std::uint64_t, 256> kSpread = [] {
  std::array<std::uint64_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b) {
    for (unsigned k = 0; k < 8; ++k) {
      if ((b >> k) & 1u) table[b] |= std::uint64_t{1} << (8 * k);
    }
  }
  return table;
}();

// Carry-save adder: the bit-sliced sum of three words as a high and low word.
inline void csa(std::uint64_t& high, std::uint64_t& low, std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  std::uint64_t u = a ^ b;
  high = (a & b) | (u & c);
  low = u ^ c;
}

void add_bits(std::uint64_t word, std::uint64_t weight, std::uint64_t* ones) {
  for (unsigned i = 0; i < 64; ++i) ones[i] += weight * ((word >> i) & 1u);
}

void flush_lanes(std::uint64_t* lanes, std::uint64_t weight, std::uint64_t* ones) {
  for (unsigned j = 0; j < 8; ++j) {
    for (unsigned k = 0; k < 8; ++k) ones[8 * j + k] += weight * ((lanes[j] >> (8 * k)) & 0xFFu);
    lanes[j] = 0;
  }
}

}  // namespace

// Harley-Seal over groups of 16 hashes: the carry-save tree leaves one word of
// weight 16 per group, whose bits are counted in byte lanes; the running
// ones/twos/fours/eights words are added in at the end.
std::size_t count_chunk_bits_portable(const unsigned char* data, std::size_t chunks, std::uint64_t* ones) {
  constexpr std::size_t kGroup = 16;
  constexpr unsigned kLaneLimit = 255;  // a byte lane takes at most one per group
  std::uint64_t w1 = 0, w2 = 0, w4 = 0, w8 = 0;
  std::uint64_t lanes[8] = {};
  unsigned pending = 0;
  std::size_t c = 0;
  for (; c + kGroup <= chunks; c += kGroup) {
    std::uint64_t d[kGroup];
    const unsigned char* p = data + 4 * c;
    for (std::size_t i = 0; i < kGroup; ++i, p += 4) d[i] = widened_chunk_hash(p[0], p[1], p[2], p[3]);

    std::uint64_t twos_a, twos_b, fours_a, fours_b, eights_a, eights_b, sixteens;
    csa(twos_a, w1, w1, d[0], d[1]);
    csa(twos_b, w1, w1, d[2], d[3]);
    csa(fours_a, w2, w2, twos_a, twos_b);
    csa(twos_a, w1, w1, d[4], d[5]);
    csa(twos_b, w1, w1, d[6], d[7]);
    csa(fours_b, w2, w2, twos_a, twos_b);
    csa(eights_a, w4, w4, fours_a, fours_b);
    csa(twos_a, w1, w1, d[8], d[9]);
    csa(twos_b, w1, w1, d[10], d[11]);
    csa(fours_a, w2, w2, twos_a, twos_b);
    csa(twos_a, w1, w1, d[12], d[13]);
    csa(twos_b, w1, w1, d[14], d[15]);
    csa(fours_b, w2, w2, twos_a, twos_b);
    csa(eights_b, w4, w4, fours_a, fours_b);
    csa(sixteens, w8, w8, eights_a, eights_b);

    for (unsigned j = 0; j < 8; ++j) lanes[j] += kSpread[(sixteens >> (8 * j)) & 0xFFu];
    if (++pending == kLaneLimit) {
      flush_lanes(lanes, 16, ones);
      pending = 0;
    }
  }
  flush_lanes(lanes, 16, ones);
  add_bits(w1, 1, ones);
  add_bits(w2, 2, ones);
  add_bits(w4, 4, ones);
  add_bits(w8, 8, ones);
  for (const unsigned char* p = data + 4 * c; c < chunks; ++c, p += 4) {
    add_bits(widened_chunk_hash(p[0], p[1], p[2], p[3]), 1, ones);
  }
  return chunks;
}

}  // namespace detail

namespace {

using detail::ChunkKernel;

detail::ChunkKernel chosen_kernel() {
  static const ChunkKernel kernel = [] {
    ChunkKernel simd = detail::simd_chunk_kernel();
    return simd != nullptr ? simd : &detail::count_chunk_bits_portable;
  }();
  return kernel;
}

std::uint64_t simhash_with(ChunkKernel kernel, std::span<const unsigned char> sample) {
  std::uint64_t ones[64] = {};
  std::size_t whole = sample.size() / 4;
  std::size_t done = kernel(sample.data(), whole, ones);
  if (done < whole) detail::count_chunk_bits_portable(sample.data() + 4 * done, whole - done, ones);

  std::uint64_t chunks = whole;
  if (std::size_t rest = sample.size() % 4; rest != 0) {
    unsigned char pad[4] = {};
    std::memcpy(pad, sample.data() + 4 * whole, rest);
    std::uint64_t h = detail::widened_chunk_hash(pad[0], pad[1], pad[2], pad[3]);
    for (unsigned i = 0; i < 64; ++i) ones[i] += (h >> i) & 1u;
    ++chunks;
  }

  // Counter i is ones - (chunks - ones); a tie gives 0.
  std::uint64_t fingerprint = 0;
  for (unsigned i = 0; i < 64; ++i) {
    if (2 * ones[i] > chunks) fingerprint |= std::uint64_t{1} << i;
  }
  return fingerprint;
}

}  // namespace

std::uint64_t simhash64(std::span<const unsigned char> sample) { return simhash_with(chosen_kernel(), sample); }

std::uint64_t simhash64_portable(std::span<const unsigned char> sample) {
  return simhash_with(&detail::count_chunk_bits_portable, sample);
}

double similarity_of(std::uint64_t a, std::uint64_t b) {
  return 1.0 - static_cast<double>(std::popcount(a ^ b)) * 0.015625;
}

double rounded_similarity(double s) {
  double r = std::round(s * 10000.0) / 10000.0;
  if (!(r >= 0.0)) return 0.0;  // also catches NaN
  return r > 1.0 ? 1.0 : r;
}

}  // namespace corvane::find_copies
