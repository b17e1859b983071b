#include <atomic>
#include <string_view>
#include <vector>

#include "modules/dir_scan/scans.h"
#include "platform/dir_walk.h"

namespace corvane::dir_scan {

using platform::DirectoryWalk;
using platform::EntryKind;
using platform::WalkOptions;

namespace {

// Keeps every record: the scans as a library gives them.
constexpr std::size_t kKeepAll = static_cast<std::size_t>(-1);

}  // namespace

std::vector<EmptyFileEntry> scan_empty_files(const std::string& root, const EmptyScanOptions& options) {
  KeptRecords<EmptyFileEntry> found(kKeepAll);
  scan_empty_files(root, options, found);
  return std::move(found.records());
}

void scan_empty_files(const std::string& root, const EmptyScanOptions& options, KeptRecords<EmptyFileEntry>& found) {
  ExcludeList excludes(options.exclude_paths);
  if (!excludes.empty() && excludes.any_prefix_of(lowered_path(root))) return;
  WalkOptions walk_options;
  walk_options.hooks = options.hooks;
  walk_options.walkers = platform::kEveryProcessor;
  if (!options.recursive) walk_options.max_depth = 1;
  // Once the cap is reached no folder is entered; the warmers learn it too.
  std::atomic<bool> full{false};
  walk_options.scope = [&](std::string_view path, std::size_t) {
    return !full.load(std::memory_order_relaxed) && (excludes.empty() || !excludes.any_prefix_of(lowered_path(path)));
  };
  DirectoryWalk walk(root, walk_options, options.listing());
  while (walk.next()) {
    switch (walk.kind()) {
      case EntryKind::directory:
        if (found.found() >= options.result_cap) full.store(true, std::memory_order_relaxed);
        if (!walk.in_scope()) walk.skip_directory();
        break;
      case EntryKind::file: {
        auto stat = walk.stat();
        if (!stat.ok() || stat->size != 0) break;
        if (!excludes.empty() && excludes.any_inside(lowered_path(walk.path()))) break;
        found.add_made(walk.path().size() + walk.name().size(), [&] {
          std::string name(walk.name());
          return EmptyFileEntry{walk.path(), name, 0, extension_of(name), unix_seconds(stat->last_write),
                                unix_seconds(stat->last_access)};
        });
        break;
      }
      case EntryKind::link:
      case EntryKind::special:
        break;
    }
  }
}

namespace {

// The folders scan in one pass. Emptiness is only known when a folder's
// listing ends, but whether the folder is reported, and whether its own
// empty children are, depends on what its ancestors turn out to be. So
// every open folder has a frame; empty children wait in their parent's
// frame until the parent is known not to be empty (then they are reported,
// in order) or turns out empty itself (then the parent is reported in their
// place). This gives exactly the records of testing every subfolder's whole
// subtree for emptiness before walking it, without listing anything twice.
class EmptyFolderScan {
 public:
  EmptyFolderScan(const std::string& root, const EmptyScanOptions& options, KeptRecords<EmptyFolderEntry>& found)
      : walk_(root, WalkOptions{.report_directory_ends = true,
                                .hooks = options.hooks,
                                .warm_file_stats = false,
                                .scope =
                                    [this](std::string_view path, std::size_t) {
                                      return !full_.load(std::memory_order_relaxed) && walks_below(path);
                                    },
                                .walkers = platform::kEveryProcessor},
              options.listing()),
        excludes_(options.exclude_paths), recursive_(options.recursive), cap_(options.result_cap), found_(found) {
    frames_.push_back(Frame{true, false, true, {}});  // the root: walked, never reported
  }

  void run() {
    while (walk_.next()) {
      if (walk_.event() == DirectoryWalk::Event::directory_end) {
        on_end();
      } else if (walk_.kind() == EntryKind::directory) {
        on_folder();
      } else {
        // Files, links and special files are content.
        mark_not_empty(walk_.depth() - 1);
      }
    }
  }

 private:
  struct Frame {
    bool walked;      // its own subfolders are candidates (if it is not empty)
    bool candidate;   // it is reported if it turns out empty
    bool not_empty;
    std::vector<EmptyFolderEntry> waiting;  // its empty children, in order
  };

  bool excluded(std::string_view path) const {
    return !excludes_.empty() && excludes_.any_inside(lowered_path(path));
  }
  // Whether a folder's own subfolders are candidates, given that its parent
  // is walked: the rule the warmers read by (they stop too once the cap
  // has stopped the walk). A folder that is only tested for emptiness is
  // read no further than its first content, which the warmers cannot know.
  bool walks_below(std::string_view path) const { return recursive_ && !excluded(path); }

  void on_folder() {
    Frame& parent = frames_[walk_.depth() - 1];
    bool candidate = parent.walked && !excluded(walk_.path());
    if (!candidate && parent.not_empty) {
      // Neither reported nor needed for an undecided parent.
      walk_.skip_directory();
      return;
    }
    bool under_cap = found_.found() + waiting_ < cap_;
    if (!under_cap) full_.store(true, std::memory_order_relaxed);
    bool walked = parent.walked && walks_below(walk_.path()) && under_cap;
    if (!walked && first_unwalked_ == kNone) first_unwalked_ = frames_.size();
    frames_.push_back(Frame{walked, candidate, false, {}});
  }

  void on_end() {
    const auto& summary = walk_.summary();
    std::size_t level = walk_.depth();
    if (!summary.opened || summary.failures > 0) mark_not_empty(level);
    if (level == 0) return;
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    waiting_ -= frame.waiting.size();
    if (first_unwalked_ == frames_.size()) first_unwalked_ = kNone;
    if (frame.not_empty || !frame.candidate) return;
    EmptyFolderEntry entry{walk_.path(), std::string(walk_.name()), summary.entries > 0};
    Frame& parent = frames_.back();
    if (parent.not_empty) {
      report(std::move(entry));
    } else {
      parent.waiting.push_back(std::move(entry));
      ++waiting_;
    }
  }

  // Marks the frame at `level` and every undecided ancestor as not empty,
  // releasing their waiting children outermost first, and stops listing a
  // folder that was only being tested once the test has failed.
  void mark_not_empty(std::size_t level) {
    if (frames_[level].not_empty) return;
    std::size_t top = level;
    while (top > 0 && !frames_[top - 1].not_empty) --top;
    for (std::size_t i = top; i <= level; ++i) {
      Frame& f = frames_[i];
      f.not_empty = true;
      waiting_ -= f.waiting.size();
      for (auto& e : f.waiting) report(std::move(e));
      f.waiting.clear();
    }
    if (first_unwalked_ != kNone && first_unwalked_ <= level) walk_.abandon(first_unwalked_);
  }

  void report(EmptyFolderEntry&& entry) {
    std::size_t text_bytes = entry.path.size() + entry.name.size();
    found_.add(std::move(entry), text_bytes);
  }

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  std::atomic<bool> full_{false};  // the cap stopped the walk once
  DirectoryWalk walk_;
  ExcludeList excludes_;
  bool recursive_;
  std::size_t cap_;
  std::vector<Frame> frames_;
  KeptRecords<EmptyFolderEntry>& found_;
  std::size_t waiting_ = 0;
  std::size_t first_unwalked_ = kNone;  // shallowest frame whose subfolders are not candidates
};

}  // namespace

std::vector<EmptyFolderEntry> scan_empty_folders(const std::string& root, const EmptyScanOptions& options) {
  KeptRecords<EmptyFolderEntry> found(kKeepAll);
  scan_empty_folders(root, options, found);
  return std::move(found.records());
}

void scan_empty_folders(const std::string& root, const EmptyScanOptions& options,
                        KeptRecords<EmptyFolderEntry>& found) {
  EmptyFolderScan(root, options, found).run();
}

}  // namespace corvane::dir_scan
