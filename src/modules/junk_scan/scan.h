// The junk scan: measures every catalogue category's items without opening
// a file. Synchronous, sequential, and it cannot fail: folders that cannot
// be listed and entries that cannot be read are skipped silently, links are
// never followed nor counted (see platform/dir_walk.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "modules/junk_scan/catalogue.h"
#include "modules/junk_scan/environment.h"
#include "platform/progress.h"

namespace corvane::junk_scan {

// Levels count from the folder a walk starts at (level 0); a walk with
// maximum level L lists folders at levels 0 to L.
inline constexpr std::size_t kTopLevelFolderSizeLevels = 12;
inline constexpr std::size_t kPatternSearchLevels = 16;
inline constexpr std::size_t kBuildFolderSearchLevels = 8;
inline constexpr std::size_t kBuildFolderSizeLevels = 16;

struct JunkItem {
  std::string path;  // the base folder with the entry names appended
  std::uint64_t size = 0;  // a folder's sum holds at 2^64 - 1 rather than wrap
  bool is_dir = false;
};

struct JunkCategory {
  std::string id;
  // Largest first; equal sizes in collection order. Only the first items a
  // reply could list are kept; item_count and total_size count them all.
  std::vector<JunkItem> items;
  std::uint64_t total_size = 0;  // held at 2^64 - 1, as every sum here
  std::uint64_t item_count = 0;
  SafetyLevel safety = SafetyLevel::Safe;
};

struct JunkScanResult {
  std::vector<JunkCategory> categories;  // catalogue order, only those with items
  std::uint64_t total_size = 0;
};

// One category's search below one of its base folders.
struct JunkSearch {
  const JunkLocation* location;
  std::string base;
  std::vector<JunkItem> items;  // filled in by run_searches, in walk order
};

// Fills in every search's items: exactly what a walk of its base folder
// alone would find. A base folder that lies inside another one is walked
// once, with it; `environment` gives the listing. Every entry listed
// advances the hooks' counters; once their stop is requested the walks end
// early, with what they found.
void run_searches(std::vector<JunkSearch>& searches, const Environment& environment,
                  const platform::TaskHooks& hooks = {});

// Every category of the catalogue, with the base folders `environment`
// gives at this moment: run_searches, then each category's items sorted.
JunkScanResult scan_junk(const Environment& environment, const platform::TaskHooks& hooks = {});

}  // namespace corvane::junk_scan
