// Every group of byte-identical files under the search directories: the
// copy finder's walk, grouped by size, then by partial fingerprint, then by
// SHA-256. Plain data; JSON lives in the tool adapter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "modules/tool_outcome.h"
#include "platform/result.h"

namespace corvane::find_copies {

struct FindDuplicatesRequest {
  std::vector<std::string> search_dirs;
  bool recursive = true;
  std::uint64_t min_size = 1;  // at least 1: empty files are never compared
  std::vector<std::string> exclude_paths;
  std::string task_id;
};

struct DuplicateFile {
  std::string path;  // display form of the canonical path
  std::uint64_t modified = 0;  // Unix seconds
};

struct DuplicateGroup {
  std::uint64_t size = 0;
  // By path, bytewise: all of them, or the first ones when one group alone
  // would pass the reply's room.
  std::vector<DuplicateFile> files;
  std::size_t omitted_files = 0;
  std::uint64_t file_count() const { return files.size() + omitted_files; }
  std::uint64_t wasted_size() const { return size * (file_count() - 1); }
};

struct DuplicatesResult {
  // Most wasted space first, then the larger size, then the first path;
  // only the groups a reply could list, omitted_count counting the rest.
  std::vector<DuplicateGroup> groups;
  std::size_t omitted_count = 0;
  // Over every group found, listed or not.
  std::uint64_t group_count = 0;
  std::uint64_t duplicate_count = 0;  // files beyond the first of each group
  std::uint64_t wasted_size = 0;
  std::uint64_t files_compared = 0;  // distinct files that shared their size
  std::uint64_t bytes_read = 0;
};

// Checks the search directories as the copy finder does (the same codes),
// then walks each file once: a search directory inside another is walked
// on its own, and several paths of one file count as that file, listed at
// its first path. Files smaller than min_size, excluded ones (the empty
// files' rule) and files whose data is not on this disk are not compared.
// Files that cannot be read are left out. The context's counters count the
// entries listed, then the bytes of the files compared; a stop gives
// SCAN_CANCELLED.
Result<DuplicatesResult> find_duplicates(const FindDuplicatesRequest& request, ToolContext& context);

}  // namespace corvane::find_copies
