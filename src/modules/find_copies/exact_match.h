// Exact mode: equal size, then the partial fingerprint for files over 64 KiB,
// then the full SHA-256 digest.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "modules/find_copies/candidates.h"
#include "modules/find_copies/copy_types.h"
#include "modules/fs_noatime/fs_noatime.h"
#include "platform/progress.h"
#include "platform/result.h"

namespace corvane::find_copies {

inline constexpr std::uint64_t kPartialWindow = 65536;

// SHA-256 over the file's size (8 bytes, little-endian), its first 64 KiB
// and, for files over 128 KiB, its last 64 KiB; 64 lower-case hex digits.
// The size is the file's own, measured here. Errors: the system's text,
// or the SHA-256 provider's failure.
Result<std::string> partial_fingerprint(std::string_view path);

using Digest = std::array<std::uint8_t, 32>;

// The partial fingerprint of an open file of `size` bytes (as the caller
// knows it), read through `buffer` (resized as needed); `bytes_read` gains
// what was read. Error: the SHA-256 provider's failure.
Result<Digest> partial_digest(fs_noatime::ReadHandle& handle, std::uint64_t size, std::vector<std::uint8_t>& buffer,
                              std::uint64_t& bytes_read);

// The SHA-256 of everything an open file gives from where it stands, read
// in blocks of `buffer`'s size, whatever the file's size; a failed read
// ends the data. Stops between blocks once `stop` is requested (the digest
// is then of what was read). `bytes_read` gains what was read.
Result<Digest> whole_digest(fs_noatime::ReadHandle& handle, std::vector<std::uint8_t>& buffer,
                            const std::stop_token& stop, std::uint64_t& bytes_read);

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
