// Candidate collection, shared by both match modes: every file under the
// search directories whose extension key is the seed's, except the seed.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dir_walk.h"
#include "platform/progress.h"
#include "platform/runtime.h"

namespace corvane::find_copies {

struct Candidate {
  // Canonical, as the system spells it (DirectoryWalk::raw_path): what opens
  // the file. Rows show it through display_path.
  std::string path;
  std::uint64_t size = 0;      // as listed
  std::uint64_t modified = 0;  // Unix seconds, as listed
};

// The copy finder's extension key: the text after the last '.' of
// `file_name` (the name as the system spells it), ASCII letters lowered
// (platform::lower_case_ascii); empty when there is no '.', when it is
// the last character, or when the name is not valid UTF-8. A leading dot
// counts: ".gitignore" has "gitignore".
std::string extension_key(std::string_view file_name);

// The final component of a path (after the last separator).
std::string_view file_name_of(std::string_view path);

// What a walk of the search directories does with what it meets, in the
// walk's order, on the calling thread.
class WalkVisitor {
 public:
  virtual ~WalkVisitor() = default;
  // Whether the walk may read the directory `path` (as the walk shows it)
  // at all. Asked from the walkers' threads too, ahead of the walk.
  virtual bool may_enter(std::string_view /*path*/) const { return true; }
  // Whether a recursive walk enters this directory (walk.path() names it):
  // never one may_enter() refuses.
  virtual bool enters(const platform::DirectoryWalk& walk) { return may_enter(walk.path()); }
  // The files whose sizes and times the walkers fetch ahead, by raw name.
  virtual bool stats(std::string_view /*raw_name*/) const { return true; }
  // A regular file whose data is on this disk.
  virtual void file(platform::DirectoryWalk& walk) = 0;
};

struct WalkRootsOptions {
  const std::vector<std::string>& roots;  // canonical search directories
  bool recursive = true;
  std::string_view task_id;
  // Test seams: the walkers (0: one per processor) and their listing.
  std::size_t walkers = platform::kEveryProcessor;
  std::unique_ptr<platform::ListingSource> (*listing)() = platform::native_listing;
};

// Walks the roots, last first: links (and, on POSIX, FIFOs, sockets and
// devices) are never followed or taken, and a directory that cannot be
// listed is skipped (a "warning:SEARCH_DIR_PERMISSION_DENIED:..." event
// when access was denied). Every entry listed advances the hooks'
// counters. The walk and its walkers together hold at most
// kMaxOpenListings handles. Returns early when their stop is requested;
// the caller checks the token.
void walk_roots(const WalkRootsOptions& options, WalkVisitor& visitor, const platform::TaskHooks& hooks,
                platform::ProgressReporter& reporter);

struct CollectOptions {
  const std::vector<std::string>& roots;  // canonical search directories
  bool recursive = true;
  std::string_view seed_path;  // canonical, as the system spells it
  std::string_view seed_key;
  std::string_view task_id;
  std::size_t walkers = platform::kEveryProcessor;  // as in WalkRootsOptions
  std::unique_ptr<platform::ListingSource> (*listing)() = platform::native_listing;
};

// The files of walk_roots whose extension key is the seed's, the seed
// itself left out. Nothing is de-duplicated. Sorted by path.
std::vector<Candidate> collect_candidates(const CollectOptions& options, const platform::TaskHooks& hooks,
                                          platform::ProgressReporter& reporter);

}  // namespace corvane::find_copies
