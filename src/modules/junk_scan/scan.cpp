#include "modules/junk_scan/scan.h"

#include <algorithm>
#include <optional>

#include "modules/junk_scan/patterns.h"
#include "platform/dir_walk.h"

namespace corvane::junk_scan {

namespace {

using platform::DirectoryWalk;
using platform::EntryKind;

// One walk per base folder does both jobs: the search the category's kind
// asks for, and, below each folder item, its size. The walk itself has no
// depth limit; every descent is decided here, which lets a matched build
// folder be measured deeper than the search for build folders goes. Depths
// are the walk's (1 for the base folder's own entries), so an entry's depth
// is the level of the folder it would start.
class BaseFolderScan {
 public:
  BaseFolderScan(const JunkLocation& location, std::vector<JunkItem>& items)
      : location_(location), items_(items) {
    for (std::string_view p : location.patterns) patterns_.emplace_back(p);
  }

  void run(const std::string& base) {
    DirectoryWalk walk(base);
    while (walk.next()) {
      if (sizing_ && walk.depth() <= sizing_->depth) sizing_.reset();
      if (sizing_) {
        measure(walk);
      } else {
        search(walk);
      }
    }
  }

 private:
  // A folder item whose subtree is being added up.
  struct Sizing {
    std::size_t depth;  // of the folder item
    std::size_t item;
    std::size_t levels;
  };

  void measure(DirectoryWalk& walk) {
    switch (walk.kind()) {
      case EntryKind::file:
        if (auto stat = walk.stat(); stat.ok()) items_[sizing_->item].size += stat->size;
        break;
      case EntryKind::directory:
        if (walk.depth() - sizing_->depth > sizing_->levels) walk.skip_directory();
        break;
      case EntryKind::link:
      case EntryKind::special:
        break;
    }
  }

  void search(DirectoryWalk& walk) {
    EntryKind kind = walk.kind();
    if (kind == EntryKind::link || kind == EntryKind::special) return;
    switch (location_.kind) {
      case JunkScanKind::TopLevelEntries:
        if (kind == EntryKind::directory) {
          begin_folder_item(walk, kTopLevelFolderSizeLevels);
        } else {
          add_file_item(walk);
        }
        break;
      case JunkScanKind::FilePatterns:
        if (kind == EntryKind::directory) {
          if (!location_.recursive || walk.depth() > kPatternSearchLevels) walk.skip_directory();
        } else if (matches(walk.name())) {
          add_file_item(walk);
        }
        break;
      case JunkScanKind::FolderNames:
        if (kind != EntryKind::directory) break;
        if (matches(walk.name())) {
          begin_folder_item(walk, kBuildFolderSizeLevels);
        } else if (walk.depth() > kBuildFolderSearchLevels) {
          walk.skip_directory();
        }
        break;
    }
  }

  bool matches(std::string_view name) const {
    return std::any_of(patterns_.begin(), patterns_.end(), [&](const NamePattern& p) { return p.matches(name); });
  }

  void add_file_item(DirectoryWalk& walk) {
    auto stat = walk.stat();
    if (stat.ok()) items_.push_back(JunkItem{walk.path(), stat->size, false});
  }

  void begin_folder_item(DirectoryWalk& walk, std::size_t levels) {
    items_.push_back(JunkItem{walk.path(), 0, true});
    sizing_ = Sizing{walk.depth(), items_.size() - 1, levels};
  }

  const JunkLocation& location_;
  std::vector<JunkItem>& items_;
  std::vector<NamePattern> patterns_;
  std::optional<Sizing> sizing_;
};

}  // namespace

void collect_items(const JunkLocation& location, const std::string& base, std::vector<JunkItem>& items) {
  BaseFolderScan(location, items).run(base);
}

JunkScanResult scan_junk(const Environment& environment) {
  JunkScanResult result;
  for (const JunkLocation& location : junk_catalogue()) {
    std::vector<JunkItem> items;
    for (const std::string& base : base_folders(location.base_folders, environment)) {
      collect_items(location, base, items);
    }
    if (items.empty()) continue;
    std::stable_sort(items.begin(), items.end(), [](const JunkItem& a, const JunkItem& b) { return a.size > b.size; });
    JunkCategory category{std::string(location.id), std::move(items), 0, 0, location.safety};
    for (const JunkItem& item : category.items) category.total_size += item.size;
    category.item_count = category.items.size();
    result.total_size += category.total_size;
    result.categories.push_back(std::move(category));
  }
  return result;
}

}  // namespace corvane::junk_scan
