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

// The seed's digests, or SEED_FILE_READ_FAILED.
Result<SeedDigests> seed_digests(std::string_view seed_path, std::uint64_t seed_size);

// The "identical" rows, found in parallel on the process-wide pool.
// Unreadable candidates are left out.
std::vector<CopyEntry> find_identical(const std::vector<Candidate>& candidates, std::uint64_t seed_size,
                                      const SeedDigests& seed, std::stop_token cancel);

}  // namespace corvane::find_copies
