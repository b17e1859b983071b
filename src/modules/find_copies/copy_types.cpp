#include "modules/find_copies/copy_types.h"

#include <algorithm>

namespace corvane::find_copies {

std::string_view copy_error_code(CopyError error) {
  switch (error) {
    case CopyError::seed_not_found: return "SEED_FILE_NOT_FOUND";
    case CopyError::seed_not_regular: return "SEED_FILE_NOT_REGULAR";
    case CopyError::seed_too_large: return "SEED_FILE_TOO_LARGE";
    case CopyError::seed_read_failed: return "SEED_FILE_READ_FAILED";
    case CopyError::seed_canonicalization_failed: return "SEED_FILE_CANONICALIZATION_FAILED";
    case CopyError::search_dir_not_found: return "SEARCH_DIR_NOT_FOUND";
    case CopyError::search_dir_not_directory: return "SEARCH_DIR_NOT_DIRECTORY";
    case CopyError::search_dir_permission_denied: return "SEARCH_DIR_PERMISSION_DENIED";
    case CopyError::too_many_search_dirs: return "TOO_MANY_SEARCH_DIRS";
    case CopyError::invalid_similarity_threshold: return "INVALID_SIMILARITY_THRESHOLD";
    case CopyError::cancelled: return "SCAN_CANCELLED";
  }
  return "SCAN_CANCELLED";  // unreachable: every kind is listed above
}

Error copy_error(CopyError error) { return make_error(std::string(copy_error_code(error))); }

std::string_view match_type_text(MatchType type) {
  switch (type) {
    case MatchType::seed: return "seed";
    case MatchType::identical: return "identical";
    case MatchType::similar: return "similar";
  }
  return "similar";
}

void order_matches(std::vector<CopyEntry>& matches, MatchMode mode) {
  // std::string compares as unsigned bytes (char_traits<char>::compare is
  // memcmp-like), which is the bytewise order wanted here.
  if (mode == MatchMode::exact) {
    std::stable_sort(matches.begin(), matches.end(),
                     [](const CopyEntry& a, const CopyEntry& b) { return a.path < b.path; });
    return;
  }
  std::stable_sort(matches.begin(), matches.end(), [](const CopyEntry& a, const CopyEntry& b) {
    double sa = a.similarity.value_or(0.0);
    double sb = b.similarity.value_or(0.0);
    if (sa != sb) return sa > sb;
    return a.path < b.path;
  });
}

}  // namespace corvane::find_copies
