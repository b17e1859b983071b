#include "modules/find_copies/validation.h"

#include <cmath>

#include "platform/path.h"

namespace corvane::find_copies {

std::uint64_t unix_seconds_from_filetime(std::int64_t filetime) {
  constexpr std::int64_t kUnixEpoch = 116444736000000000;
  if (filetime < kUnixEpoch) return 0;
  return static_cast<std::uint64_t>((filetime - kUnixEpoch) / 10000000);
}

Result<ValidatedSeed> validate_seed(std::string_view seed_path) {
  Result<std::string> canonical = platform::canonical_path(seed_path);
  if (!canonical.ok()) {
    return copy_error(canonical.error_code() == ErrorCode::not_found ? CopyError::seed_not_found
                                                                      : CopyError::seed_canonicalization_failed);
  }
  Result<platform::PathMetadata> meta = platform::path_metadata(canonical.value());
  if (!meta.ok()) return copy_error(CopyError::seed_not_found);
  // Only a regular file can be a seed: hashing a FIFO or a device would
  // block or never end.
  if (meta->kind != platform::EntryKind::file) return copy_error(CopyError::seed_not_regular);
  if (meta->stat.size > kMaxSeedSize) return copy_error(CopyError::seed_too_large);
  return ValidatedSeed{std::move(canonical).value(), meta->stat.size, unix_seconds_from_filetime(meta->stat.last_write),
                       meta->data_not_local};
}

Result<std::vector<std::string>> validate_search_dirs(const std::vector<std::string>& dirs) {
  std::vector<std::string> roots;
  roots.reserve(dirs.size());
  for (const std::string& dir : dirs) {
    Result<std::string> canonical = platform::canonical_path(dir);
    if (!canonical.ok()) return copy_error(CopyError::search_dir_not_found);
    Result<platform::PathMetadata> meta = platform::path_metadata(canonical.value());
    if (!meta.ok()) return copy_error(CopyError::search_dir_not_found);
    if (meta->kind != platform::EntryKind::directory) return copy_error(CopyError::search_dir_not_directory);
    roots.push_back(std::move(canonical).value());
  }
  return roots;
}

Status check_similarity_threshold(const FindCopiesRequest& request) {
  if (request.match_mode != MatchMode::similar) return ok_status();
  const std::optional<double>& t = request.similarity_threshold;
  if (!t || !std::isfinite(*t) || *t < 0.0 || *t > 1.0) return copy_error(CopyError::invalid_similarity_threshold);
  return ok_status();
}

}  // namespace corvane::find_copies
