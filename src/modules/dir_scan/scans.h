// The directory scans behind scan_top_files, scan_empty_files and
// scan_empty_folders. Synchronous; each call owns everything it builds.
// Unreadable folders and entries are skipped silently, links are never
// followed (see platform/dir_walk.h), and results come in walk order:
// listing order, depth first. Each scan counts the entries it lists in its
// hooks and, once their stop is requested, ends early with what it has.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "modules/dir_scan/records.h"
#include "modules/reply_budget.h"
#include "platform/dir_walk.h"
#include "platform/progress.h"

namespace corvane::dir_scan {

// Orders the bounded heap of the largest-files walk: by size, then by path
// bytes (a prefix first). The heap's root is the least entry.
bool heap_less(const FileEntry& a, const FileEntry& b);

// The `top_n` largest non-empty files below `root`, largest first (stable
// among equal sizes). Among files of the boundary size, those met first in
// the walk stay. A root that is not a listable directory gives an empty list.
std::vector<FileEntry> scan_top_files(const std::string& root, std::size_t top_n,
                                      const platform::TaskHooks& hooks = {});

struct EmptyScanOptions {
  bool recursive = true;
  std::vector<std::string> exclude_paths;
  // Once more records than cap - 1 are held, no further directory is
  // entered; the one being listed is finished.
  std::size_t result_cap = kResultCap;
  platform::TaskHooks hooks = {};
  // A test seam: how the folders are listed.
  std::unique_ptr<platform::ListingSource> (*listing)() = platform::native_listing;
};

// Zero-byte files below `root`. Folders whose lowered path starts with an
// exclude entry are not entered (the root included); files whose lowered
// path contains one are not reported.
std::vector<EmptyFileEntry> scan_empty_files(const std::string& root, const EmptyScanOptions& options);
// The same scan, handing each record to `found` in walk order; the result
// cap counts every record found, kept or not.
void scan_empty_files(const std::string& root, const EmptyScanOptions& options, KeptRecords<EmptyFileEntry>& found);

// Folders below `root` (never the root itself) that hold nothing but
// folders that do the same. An empty folder is reported once, its empty
// subfolders not on their own. A folder whose lowered path contains an
// exclude entry is neither reported nor entered by the scan, but still
// counts for its parent's emptiness. Decided in one pass over the tree.
std::vector<EmptyFolderEntry> scan_empty_folders(const std::string& root, const EmptyScanOptions& options);
// The same scan, handing each record to `found` in report order; the result
// cap counts every record found, kept or not.
void scan_empty_folders(const std::string& root, const EmptyScanOptions& options,
                        KeptRecords<EmptyFolderEntry>& found);

}  // namespace corvane::dir_scan
