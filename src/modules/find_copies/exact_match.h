// Exact mode: equal size, then the partial fingerprint for files over 64 KiB,
// then the full SHA-256 digest.
#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "modules/find_copies/candidates.h"
#include "modules/find_copies/copy_types.h"
#include "platform/progress.h"
#include "platform/result.h"

namespace corvane::find_copies {

inline constexpr std::uint64_t kPartialWindow = 65536;

// SHA-256 over the file's size (8 bytes, little-endian), its first 64 KiB
// and, for files over 128 KiB, its last 64 KiB; 64 lower-case hex digits.
// The size is the file's own, measured here. Errors: the system's text,
// or the SHA-256 provider's failure.
Result<std::string> partial_fingerprint(std::string_view path);

struct SeedDigests {
  std::string full;
  std::optional<std::string> partial;  // only for seeds over 64 KiB
};

// The seed's digests, or SEED_FILE_READ_FAILED. A stop request cuts the
// hashing short; the caller checks the token.
Result<SeedDigests> seed_digests(std::string_view seed_path, std::uint64_t seed_size,
                                 const std::stop_token& stop = {});

// The "identical" rows, found in parallel on the process-wide pool.
// Unreadable candidates are left out. Each candidate compared (or passed
// over for its size) advances the hooks' counters; once their stop is
// requested no further block is hashed and the rows are incomplete.
std::vector<CopyEntry> find_identical(const std::vector<Candidate>& candidates, std::uint64_t seed_size,
                                      const SeedDigests& seed, const platform::TaskHooks& hooks);

}  // namespace corvane::find_copies
