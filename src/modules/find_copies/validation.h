// Checks of the seed and the search directories, before any search work.
// Each returns the code text of the first failure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "modules/find_copies/copy_types.h"
#include "platform/result.h"

namespace corvane::find_copies {

// Canonical path, size and modification time of a regular seed file of at
// most 2 GiB.
Result<ValidatedSeed> validate_seed(std::string_view seed_path);

// The canonical path of every directory, in order; duplicates are kept.
Result<std::vector<std::string>> validate_search_dirs(const std::vector<std::string>& dirs);

// Similar mode needs a finite threshold within [0, 1]; exact mode ignores it.
Status check_similarity_threshold(const FindCopiesRequest& request);

// Unix seconds of a FILETIME (100 ns since 1601), 0 before 1970.
std::uint64_t unix_seconds_from_filetime(std::int64_t filetime);

}  // namespace corvane::find_copies
