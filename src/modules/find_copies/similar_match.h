// Similar mode: SimHash fingerprints of a byte sample, kept when the share of
// equal bits reaches the threshold.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string_view>
#include <vector>

#include "modules/find_copies/candidates.h"
#include "modules/find_copies/copy_types.h"
#include "platform/progress.h"
#include "platform/result.h"

namespace corvane::find_copies {

// The "similar" rows whose unrounded similarity is at least `threshold`,
// found in parallel on the process-wide pool, similarity rounded to four
// decimals. Unreadable candidates are left out. Each candidate compared
// advances the hooks' counters; once their stop is requested no further
// candidate is read and the rows are incomplete.
std::vector<CopyEntry> find_similar(const std::vector<Candidate>& candidates, std::uint64_t seed_fingerprint,
                                    double threshold, const platform::TaskHooks& hooks);

// The fingerprint of the sample of `path` taken for `size` bytes, or the
// error text of the read.
Result<std::uint64_t> sample_fingerprint(std::string_view path, std::uint64_t size);

}  // namespace corvane::find_copies
