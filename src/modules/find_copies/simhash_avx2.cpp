// The AVX2 SimHash kernel, built on x86-64 only and chosen at run time when
// the processor has AVX2. Only the functions marked with the target
// attribute use AVX2 instructions, so nothing else in the program does.
#include <immintrin.h>

#include <cstring>

#include "modules/find_copies/simhash_kernel.h"

namespace corvane::find_copies::detail {

namespace {

#define CORVANE_AVX2 __attribute__((target("avx2")))

CORVANE_AVX2 inline void csa(__m256i& high, __m256i& low, __m256i a, __m256i b, __m256i c) {
  __m256i u = _mm256_xor_si256(a, b);
  high = _mm256_or_si256(_mm256_and_si256(a, b), _mm256_and_si256(u, c));
  low = _mm256_xor_si256(u, c);
}

// x ^ (x * kWiden) for four zero-extended 32-bit hashes.
CORVANE_AVX2 inline __m256i widen(__m256i x) {
  const __m256i lo = _mm256_set1_epi64x(static_cast<long long>(kWiden & 0xFFFFFFFFu));
  const __m256i hi = _mm256_set1_epi64x(static_cast<long long>(kWiden >> 32));
  __m256i product = _mm256_add_epi64(_mm256_mul_epu32(x, lo), _mm256_slli_epi64(_mm256_mul_epu32(x, hi), 32));
  return _mm256_xor_si256(x, product);
}

// Widened hashes of eight consecutive chunks (32 bytes), as two vectors of four.
CORVANE_AVX2 inline void hash_eight(const unsigned char* p, __m256i& first, __m256i& second) {
  const __m256i byte_mask = _mm256_set1_epi32(0xFF);
  const __m256i prime = _mm256_set1_epi32(static_cast<int>(kFnvPrime));
  __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i h = _mm256_set1_epi32(static_cast<int>(kFnvBasis));
  h = _mm256_mullo_epi32(_mm256_xor_si256(h, _mm256_and_si256(w, byte_mask)), prime);
  h = _mm256_mullo_epi32(_mm256_xor_si256(h, _mm256_and_si256(_mm256_srli_epi32(w, 8), byte_mask)), prime);
  h = _mm256_mullo_epi32(_mm256_xor_si256(h, _mm256_and_si256(_mm256_srli_epi32(w, 16), byte_mask)), prime);
  h = _mm256_mullo_epi32(_mm256_xor_si256(h, _mm256_srli_epi32(w, 24)), prime);
  first = widen(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(h)));
  second = widen(_mm256_cvtepu32_epi64(_mm256_extracti128_si256(h, 1)));
}

// Adds one 64-bit word, broadcast in `v`, into 64 byte counters: byte b of
// `low` counts bit b, byte b of `high` bit 32 + b.
CORVANE_AVX2 inline void spread_add(__m256i v, __m256i& low, __m256i& high) {
  const __m256i pick_low = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                            2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
  const __m256i pick_high = _mm256_setr_epi8(4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5,  //
                                             6, 6, 6, 6, 6, 6, 6, 6, 7, 7, 7, 7, 7, 7, 7, 7);
  const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
  __m256i a = _mm256_and_si256(_mm256_shuffle_epi8(v, pick_low), bit);
  __m256i b = _mm256_and_si256(_mm256_shuffle_epi8(v, pick_high), bit);
  low = _mm256_sub_epi8(low, _mm256_cmpeq_epi8(a, bit));
  high = _mm256_sub_epi8(high, _mm256_cmpeq_epi8(b, bit));
}

void add_bits(std::uint64_t word, std::uint64_t weight, std::uint64_t* ones) {
  for (unsigned i = 0; i < 64; ++i) ones[i] += weight * ((word >> i) & 1u);
}

CORVANE_AVX2 void add_vector_bits(__m256i v, std::uint64_t weight, std::uint64_t* ones) {
  std::uint64_t words[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(words), v);
  for (std::uint64_t w : words) add_bits(w, weight, ones);
}

CORVANE_AVX2 void flush(__m256i& low, __m256i& high, std::uint64_t* ones) {
  unsigned char bytes[64];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes), low);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes + 32), high);
  for (unsigned i = 0; i < 64; ++i) ones[i] += 16u * bytes[i];
  low = _mm256_setzero_si256();
  high = _mm256_setzero_si256();
}

// Groups of 64 chunks (256 bytes): 16 vectors of four hashes through a
// Harley-Seal carry-save tree, leaving one vector of weight 16 per group.
CORVANE_AVX2 std::size_t count_chunk_bits_avx2(const unsigned char* data, std::size_t chunks, std::uint64_t* ones) {
  constexpr std::size_t kGroup = 64;
  constexpr unsigned kFlushEvery = 63;  // four lanes per group: 63 * 4 fits a byte
  __m256i w1 = _mm256_setzero_si256(), w2 = w1, w4 = w1, w8 = w1;
  __m256i low = w1, high = w1;
  unsigned pending = 0;
  std::size_t c = 0;
  for (; c + kGroup <= chunks; c += kGroup) {
    const unsigned char* p = data + 4 * c;
    __m256i d[16];
    for (unsigned i = 0; i < 8; ++i) hash_eight(p + 32 * i, d[2 * i], d[2 * i + 1]);

    __m256i twos_a, twos_b, fours_a, fours_b, eights_a, eights_b, sixteens;
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

    spread_add(_mm256_permute4x64_epi64(sixteens, 0x00), low, high);
    spread_add(_mm256_permute4x64_epi64(sixteens, 0x55), low, high);
    spread_add(_mm256_permute4x64_epi64(sixteens, 0xAA), low, high);
    spread_add(_mm256_permute4x64_epi64(sixteens, 0xFF), low, high);
    if (++pending == kFlushEvery) {
      flush(low, high, ones);
      pending = 0;
    }
  }
  flush(low, high, ones);
  add_vector_bits(w1, 1, ones);
  add_vector_bits(w2, 2, ones);
  add_vector_bits(w4, 4, ones);
  add_vector_bits(w8, 8, ones);
  return c;
}

#undef CORVANE_AVX2

}  // namespace

ChunkKernel simd_chunk_kernel() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? &count_chunk_bits_avx2 : nullptr;
}

}  // namespace corvane::find_copies::detail
