#include "modules/find_copies/similar_match.h"

#include <optional>

#include "modules/find_copies/simhash.h"
#include "modules/fs_noatime/fs_noatime.h"
#include "platform/path.h"
#include "platform/runtime.h"

namespace corvane::find_copies {

Result<std::uint64_t> sample_fingerprint(std::string_view path, std::uint64_t size) {
  // A file listed at up to 1 MiB is read whole, but only up to 1 MiB: one
  // that grew since it was listed is compared on that much rather than read
  // into memory without bound.
  Result<fs_noatime::Bytes> sample = size <= fs_noatime::kWholeSampleLimit
                                         ? fs_noatime::read_range(path, 0, fs_noatime::kWholeSampleLimit)
                                         : fs_noatime::read_sample(path, size);
  if (!sample.ok()) return sample.failure();
  return simhash64(sample.value());
}

std::vector<CopyEntry> find_similar(const std::vector<Candidate>& candidates, std::uint64_t seed_fingerprint,
                                    double threshold, const platform::TaskHooks& hooks) {
  // One slot per candidate, written by the one worker that compares it.
  std::vector<std::optional<double>> kept(candidates.size());
  runtime::parallel_pool().for_each_index(candidates.size(), [&](std::size_t i) {
    if (hooks.stopped()) return;
    Result<std::uint64_t> fingerprint = sample_fingerprint(candidates[i].path, candidates[i].size);
    hooks.advance();
    if (!fingerprint.ok() || hooks.stopped()) return;
    double s = similarity_of(fingerprint.value(), seed_fingerprint);
    if (threshold <= s) kept[i] = rounded_similarity(s);
  }, kFilesAtOnce);

  std::vector<CopyEntry> rows;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (!kept[i]) continue;
    const Candidate& c = candidates[i];
    rows.push_back(CopyEntry{kept[i], platform::display_path(c.path), c.size, c.modified, MatchType::similar});
  }
  return rows;
}

}  // namespace corvane::find_copies
