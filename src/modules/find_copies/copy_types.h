// The records of a copy search: the request, its failure kinds, the
// validated seed and the result rows. Plain data; JSON lives in the tool
// adapter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handle_budget.h"
#include "platform/result.h"

namespace corvane::find_copies {

// The stages of a search's progress events besides "done" and warnings.
inline constexpr std::string_view kStageCollecting = "collecting";
inline constexpr std::string_view kStageHashing = "hashing";

// Threads that read files to compare them, each holding one open: no more
// than a call's handle budget, however many processors there are.
inline constexpr std::size_t kFilesAtOnce = platform::kMaxOpenListings;

enum class MatchMode { exact, similar };

struct FindCopiesRequest {
  std::string seed_path;
  std::vector<std::string> search_dirs;
  bool recursive = true;
  MatchMode match_mode = MatchMode::exact;
  std::optional<double> similarity_threshold;  // no default is applied
  std::string task_id;
};

enum class CopyError {
  seed_not_found,
  seed_not_regular,
  seed_too_large,
  seed_read_failed,
  seed_canonicalization_failed,
  search_dir_not_found,
  search_dir_not_directory,
  search_dir_permission_denied,  // only ever the code of a warning event
  too_many_search_dirs,
  invalid_similarity_threshold,
  cancelled,
};

// The code text of a kind, which is the whole error message.
std::string_view copy_error_code(CopyError error);
// What a copy search fails with for a kind: its code text.
Error copy_error(CopyError error);

// Plain texts the handler fails with besides the codes.
inline constexpr std::string_view kNoSearchDirs = "search_dirs must contain at least one directory";
inline constexpr std::string_view kTaskJoinFailed = "TASK_JOIN_FAILED";

inline constexpr std::size_t kMaxSearchDirs = 50;
inline constexpr std::uint64_t kMaxSeedSize = 2147483648ull;  // 2 GiB, accepted

struct ValidatedSeed {
  std::string path;  // canonical
  std::uint64_t size = 0;
  std::uint64_t modified = 0;  // Unix seconds
  bool data_not_local = false;  // see platform::data_not_local
};

enum class MatchType { seed, identical, similar };
std::string_view match_type_text(MatchType type);

struct CopyEntry {
  std::optional<double> similarity;  // similar matches only
  std::string path;                  // display form of the canonical path
  std::uint64_t size = 0;
  std::uint64_t modified = 0;
  MatchType match_type = MatchType::identical;
};

struct CopySearchResult {
  std::string seed_path;  // display form
  // The seed row first, then the matches: only the first a reply could
  // list; omitted_count counts the matches left out.
  std::vector<CopyEntry> entries;
  std::size_t omitted_count = 0;
};

// Exact mode: by path (the display form), bytewise. Similar mode:
// similarity descending (absent counts as 0), ties by path. Stable.
void order_matches(std::vector<CopyEntry>& matches, MatchMode mode);

}  // namespace corvane::find_copies
