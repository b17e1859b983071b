// The 64-bit SimHash of similar mode and the similarity of two fingerprints.
// Pure computation, no allocation, safe to call from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::find_copies {

// The fingerprint of `sample`: 4-byte chunks (the last zero-padded), each
// hashed with 32-bit FNV-1a, widened as h ^ (h * 0x9E3779B97F4A7C15), then one
// vote per bit; bit i is set when more chunks had it set than clear. An empty
// sample gives 0. Uses the fastest kernel this processor supports.
std::uint64_t simhash64(std::span<const unsigned char> sample);

// The fingerprint through the portable kernel only, whatever the processor.
std::uint64_t simhash64_portable(std::span<const unsigned char> sample);

// 1 - popcount(a ^ b) / 64: a multiple of 1/64 between 0 and 1.
double similarity_of(std::uint64_t a, std::uint64_t b);

// `s` rounded to four decimals, halves away from zero, held to [0, 1].
double rounded_similarity(double s);

}  // namespace corvane::find_copies
