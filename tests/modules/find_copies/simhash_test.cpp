#include "modules/find_copies/simhash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "simhash_reference.h"

namespace corvane::find_copies {
namespace {

std::span<const unsigned char> bytes(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

TEST(SimhashTest, MatchesHandComputedVectors) {
  // Values worked out independently: FNV-1a of each zero-padded 4-byte chunk,
  // widened, then a majority vote per bit.
  EXPECT_EQ(simhash64_reference(bytes("")), 0u);
  EXPECT_EQ(simhash64(bytes("")), 0u);
  struct Vector {
    std::string_view sample;
    std::uint64_t fingerprint;
  };
  const Vector vectors[] = {
      {std::string_view("a", 1), 0x259776561ff10250ull},  // "a\0\0\0"
      {std::string_view("\0", 1), 0x434d6bbe5280b3acull},
      {"abcd", 0x0599561786d3f13cull},
      {"abcdabcd", 0x0599561786d3f13cull},    // a repeated chunk changes nothing
      {"abcdefgh", 0x0410561286c0812cull},    // two chunks: ties give 0, so h1 & h2
      {"abcdefghij", 0x159c761b8fd1a93cull},  // three chunks: the padded "ij" decides ties
      {"The quick brown fox jumps over the lazy dog", 0xe766c459c6e5ad1cull},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(simhash64_reference(bytes(v.sample)), v.fingerprint) << v.sample;
    EXPECT_EQ(simhash64(bytes(v.sample)), v.fingerprint) << v.sample;
    EXPECT_EQ(simhash64_portable(bytes(v.sample)), v.fingerprint) << v.sample;
  }
  // A one-byte sample is that byte and three zero bytes.
  EXPECT_EQ(simhash64(bytes(std::string_view("a", 1))), simhash64(bytes(std::string_view("a\0\0\0", 4))));
}

TEST(SimhashTest, FastKernelsAgreeWithTheReferenceOnRandomAndEdgeInputs) {
  std::mt19937_64 random(20240611);
  std::vector<unsigned char> data(1 << 20 | 7);
  for (auto& b : data) b = static_cast<unsigned char>(random());

  // Lengths around the kernels' block sizes (16 and 64 chunks), their
  // counter flushes (255 x 16 and 63 x 64 chunks) and padding.
  std::vector<std::size_t> lengths;
  for (std::size_t chunks : {0u, 1u, 15u, 16u, 17u, 63u, 64u, 65u, 128u, 4031u, 4032u, 4033u, 4080u, 4081u, 16129u}) {
    for (std::size_t extra = 0; extra < 4; ++extra) lengths.push_back(chunks * 4 + extra);
  }
  for (int i = 0; i < 40; ++i) lengths.push_back(random() % 20000);
  lengths.push_back(data.size());

  for (std::size_t length : lengths) {
    for (std::size_t offset : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {  // unaligned starts too
      if (offset + length > data.size()) continue;
      std::span<const unsigned char> sample(data.data() + offset, length);
      std::uint64_t expected = simhash64_reference(sample);
      ASSERT_EQ(simhash64(sample), expected) << "length " << length << " offset " << offset;
      ASSERT_EQ(simhash64_portable(sample), expected) << "length " << length << " offset " << offset;
    }
  }

  // Uniform content puts every chunk's vote on the same bits, which is what
  // overflows narrow counters if a kernel flushes them too late.
  for (unsigned char fill : {0x00, 0xFF, 0x5A}) {
    std::vector<unsigned char> same(300000, fill);
    std::uint64_t expected = simhash64_reference(same);
    EXPECT_EQ(simhash64(same), expected);
    EXPECT_EQ(simhash64_portable(same), expected);
  }
}

TEST(SimhashTest, SimilarityIsTheShareOfEqualBitsAndRoundsHalfAwayFromZero) {
  EXPECT_EQ(similarity_of(0, 0), 1.0);
  EXPECT_EQ(similarity_of(0, ~0ull), 0.0);
  EXPECT_EQ(similarity_of(0x1, 0x0), 0.984375);
  EXPECT_EQ(similarity_of(0xF0F0, 0x0F0F), 0.75);

  EXPECT_EQ(rounded_similarity(0.984375), 0.9844);
  EXPECT_EQ(rounded_similarity(0.015625), 0.0156);
  EXPECT_EQ(rounded_similarity(0.734375), 0.7344);
  EXPECT_EQ(rounded_similarity(1.0), 1.0);
  EXPECT_EQ(rounded_similarity(0.0), 0.0);
  EXPECT_EQ(rounded_similarity(0.90625), 0.9063);  // an exact half goes up, not to even
  EXPECT_EQ(rounded_similarity(0.96875), 0.9688);
  // Every value a fingerprint pair can give stays within [0, 1] and within
  // half a unit of the last decimal.
  for (int d = 0; d <= 64; ++d) {
    double s = 1.0 - d * 0.015625;
    double r = rounded_similarity(s);
    EXPECT_GE(r, 0.0);
    EXPECT_LE(r, 1.0);
    EXPECT_LE(std::abs(r - s), 0.00005 + 1e-12) << d;
  }
}

}  // namespace
}  // namespace corvane::find_copies
