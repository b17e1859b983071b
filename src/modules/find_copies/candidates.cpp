#include "modules/find_copies/candidates.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "modules/find_copies/validation.h"
#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/text.h"

namespace corvane::find_copies {

namespace {

using platform::DirectoryWalk;
using platform::EntryKind;

// One search directory. Its folders are read by the walk's walkers, one per
// processor when the search goes below its own entries: kernel-bound
// listing and stat calls are what a walk spends its time on, and they run
// side by side on different folders.
void walk_root(const std::string& root, const WalkRootsOptions& options, WalkVisitor& visitor,
               const platform::TaskHooks& hooks, platform::HandleBudget& handles,
               platform::ProgressReporter& reporter) {
  platform::WalkOptions walk_options{.report_directory_ends = true, .hooks = hooks, .handles = &handles};
  if (options.recursive) {
    walk_options.walkers = options.walkers;
    walk_options.scope = [&visitor](std::string_view path, std::size_t) { return visitor.may_enter(path); };
    walk_options.stats_for = [&visitor](std::string_view raw_name) { return visitor.stats(raw_name); };
  } else {
    walk_options.max_depth = 1;
  }
  DirectoryWalk walk(root, walk_options, options.listing());
  while (walk.next()) {
    if (walk.event() == DirectoryWalk::Event::directory_end) {
      if (!walk.summary().opened && walk.summary().denied) {
        reporter.report(platform::ProgressEvent{
            std::string(options.task_id),
            std::string(platform::kWarningStage) + ":" +
                std::string(copy_error_code(CopyError::search_dir_permission_denied)) + ":" +
                platform::display_path(walk.path()),
            0, 0});
      }
      continue;
    }
    if (walk.kind() == EntryKind::directory && options.recursive && !visitor.enters(walk)) {
      walk.skip_directory();
      continue;
    }
    // Links are never taken or followed; on POSIX neither are FIFOs, sockets
    // and devices (opening a FIFO would block). Directories are descended
    // into by the walk itself, down to max_depth.
    if (walk.kind() != EntryKind::file) continue;
    // Reading a file whose data is not on this disk would fetch it.
    if (walk.data_not_local()) continue;
    visitor.file(walk);
  }
}

// The copy finder's files: those with the seed's extension key, less the
// seed.
class CandidateVisitor final : public WalkVisitor {
 public:
  explicit CandidateVisitor(const CollectOptions& options) : options_(options) {}

  bool stats(std::string_view raw_name) const override { return extension_key(raw_name) == options_.seed_key; }

  void file(DirectoryWalk& walk) override {
    // Names go by the system's own spelling: the shown text of a name that
    // is not valid UTF-8 (or UTF-16) stands for many names and opens none.
    if (extension_key(walk.raw_name()) != options_.seed_key) return;
    // The walk starts at a canonical root and never passes through a link,
    // so the path it built is already the file's canonical path.
    if (walk.raw_path() == options_.seed_path) return;
    Result<platform::EntryStat> stat = walk.stat();
    if (!stat.ok()) return;
    found_.push_back(Candidate{walk.raw_path(), stat->size, unix_seconds_from_filetime(stat->last_write)});
  }

  std::vector<Candidate> taken() { return std::move(found_); }

 private:
  const CollectOptions& options_;
  std::vector<Candidate> found_;
};

}  // namespace

std::string_view file_name_of(std::string_view path) {
  std::size_t at = path.size();
  while (at > 0 && !platform::is_path_separator(path[at - 1])) --at;
  return path.substr(at);
}

std::string extension_key(std::string_view file_name) {
  std::size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == file_name.size()) return {};
  if (!platform::is_valid_utf8(file_name)) return {};
  return platform::lower_case_ascii(file_name.substr(dot + 1));
}

void walk_roots(const WalkRootsOptions& options, WalkVisitor& visitor, const platform::TaskHooks& hooks,
                platform::ProgressReporter& reporter) {
  // Roots are taken last first, as a work list would.
  platform::HandleBudget handles;
  for (auto root = options.roots.rbegin(); root != options.roots.rend(); ++root) {
    if (hooks.stopped()) break;
    walk_root(*root, options, visitor, hooks, handles, reporter);
  }
}

std::vector<Candidate> collect_candidates(const CollectOptions& options, const platform::TaskHooks& hooks,
                                          platform::ProgressReporter& reporter) {
  CandidateVisitor visitor(options);
  walk_roots(WalkRootsOptions{options.roots, options.recursive, options.task_id, options.walkers, options.listing},
             visitor, hooks, reporter);
  // Sorted by path, as the matchers take them.
  std::vector<Candidate> out = visitor.taken();
  std::sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.path < b.path; });
  return out;
}

}  // namespace corvane::find_copies
