// Sums of sizes that cannot wrap around.
#pragma once

#include <cstdint>
#include <limits>

namespace corvane::platform {

// a + b, held at the largest unsigned 64-bit value instead of wrapping: a
// few huge sparse files must add up to "at least this much", never to a
// small number.
constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return b > kMax - a ? kMax : a + b;
}

}  // namespace corvane::platform
