// Where the space under a directory goes: the folder-sizes scan behind
// scan_folder_sizes, its records and its tool. One walk by the rules of the
// other directory scans (links and other mounts never followed, unreadable
// folders skipped, special files counted as nothing); every regular file
// counts in its folder and in each folder above it. Memory holds one
// accumulator per open folder, the folders that can still be reported (the
// top_n largest of each folder above the depth shown), one total per
// extension and the identities of files with several hard links; nothing
// per file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "modules/reply_budget.h"
#include "modules/tool_outcome.h"
#include "platform/dir_walk.h"
#include "platform/progress.h"

namespace corvane::dir_scan {

// One folder below the root, with everything below it.
struct FolderNode {
  std::string name;
  std::string path;
  std::uint64_t size = 0;            // bytes of every file below it
  std::uint64_t allocated_size = 0;  // the disk space those files take
  std::uint64_t file_count = 0;
  std::uint64_t folder_count = 0;    // folders at every level below it
  std::int64_t modified = 0;         // newest last write of a file below it; 0 without files
  std::uint64_t files_size = 0;      // the files directly in it
  std::uint64_t files_count = 0;
  // Above the depth shown: its largest subfolders, largest first; the ones
  // left out are counted in omitted_count and omitted_size.
  bool shows_folders = false;
  std::vector<FolderNode> folders = {};
  std::uint64_t omitted_count = 0;
  std::uint64_t omitted_size = 0;
  bool truncated = false;   // some were left out only to keep the reply in bounds
  std::uint64_t order = 0;  // when the walk met it: the last tie-break
};

struct ExtensionTotal {
  std::optional<std::string> extension;  // none: names without one
  std::uint64_t size = 0;
  std::uint64_t file_count = 0;
};

inline constexpr std::size_t kExtensionsShown = 20;

// The whole answer. `root` holds the root's totals and subfolders (its name,
// modified and order unused).
struct FolderSizes {
  FolderNode root;
  std::uint64_t unreadable_count = 0;  // folders that could not be listed, the root included
  std::vector<ExtensionTotal> extensions;  // the kExtensionsShown largest, largest first
  std::uint64_t extensions_omitted_count = 0;
  std::uint64_t extensions_omitted_size = 0;
};

struct FolderSizesOptions {
  std::size_t depth = 2;   // levels of subfolders shown, at least 1
  std::size_t top_n = 10;  // subfolders shown in each folder, at least 1
  std::vector<std::string> exclude_paths = {};
  // Bytes the reported folders may take in a reply (both of its copies);
  // the ones that do not fit are left out, deepest levels first.
  std::size_t reply_budget = kReplyBudget - kReplyBudget / 10;
  platform::TaskHooks hooks = {};
  // A test seam: how the folders are listed.
  std::unique_ptr<platform::ListingSource> (*listing)() = platform::allocation_listing;
};

// The folder sizes below `root`, which is shown as given. A root that cannot
// be listed gives zeros and unreadable_count 1; a root excluded itself gives
// zeros. Once the hooks' stop is requested, the scan ends with the totals so
// far.
FolderSizes scan_folder_sizes(const std::string& root, const FolderSizesOptions& options);

struct FolderSizesRequest {
  std::string path;
  std::size_t depth = 2;
  std::size_t top_n = 10;
  std::vector<std::string> exclude_paths = {};
};
// "path" (required string), "depth" (1-8, default 2), "top_n" (1-100,
// default 10) and "exclude_paths".
Status read_arguments(const Json& arguments, FolderSizesRequest& request);

void to_json(Json& out, const FolderNode& node);
void to_json(Json& out, const FolderSizes& sizes);
Result<FolderSizes> folder_sizes_tool(const FolderSizesRequest& request, ToolContext& context);

}  // namespace corvane::dir_scan
