#include "modules/junk_scan/scan.h"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>

#include "modules/junk_scan/patterns.h"
#include "modules/reply_budget.h"
#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/saturating.h"

namespace corvane::junk_scan {

namespace {

using platform::DirectoryWalk;
using platform::EntryKind;

// One category's search below one of its base folders: exactly what a walk
// of that base folder alone would find.
struct Search {
  const JunkLocation* location;
  const std::vector<NamePattern>* patterns;
  std::string base;
  std::vector<JunkItem> items;
  bool done = false;
};

// Whether the walk path `path` names the base folder `base`, with the same
// entry paths a walk of `base` itself would build.
bool names_base(std::string_view path, std::string_view base) {
  return base == path || (base.size() == path.size() + 1 && base.starts_with(path) &&
                          base.back() == platform::kPathSeparator);
}

// Whether `base` lies below the folder `path` (by text).
bool lies_below(std::string_view base, std::string_view path) {
  if (base.size() <= path.size() || !base.starts_with(path)) return false;
  if (!path.empty() && platform::is_path_separator(path.back())) return true;
  return base.size() > path.size() + 1 && platform::is_path_separator(base[path.size()]);
}

// What the searches of one shared walk (below) need where the walk is: the
// searches started so far with their own level limits, and the folder
// items being measured. Whether a folder is entered follows from its
// ancestors alone, so the same rules serve the walk, which keeps them as it
// goes and records items, and the warmers, which replay them along a
// folder's path from another thread and record nothing.
class FolderRules {
 public:
  FolderRules(Search& outer, const std::vector<Search*>& nested, bool recording)
      : nested_(nested), started_(nested.size(), false), recording_(recording) {
    actives_.push_back(Active{&outer, 0});
    start_nested(outer.base, 0);
  }

  void leave_finished(std::size_t depth) {
    while (!sizings_.empty() && sizings_.back().depth >= depth) sizings_.pop_back();
    while (!actives_.empty() && actives_.back().base_depth >= depth) actives_.pop_back();
    for (Active& a : actives_) {
      if (a.paused_at != kNotPaused && depth <= a.paused_at) a.paused_at = kNotPaused;
    }
  }

  // True when the folder is to be entered; a recording walk also starts its
  // items and nested searches.
  bool on_folder(const std::string& path, std::string_view name, std::size_t depth) {
    bool enter = false;
    for (const Sizing& s : sizings_) enter = enter || depth - s.depth <= s.levels;
    // New sizings and actives only go on top of the stacks once every
    // current one has had this entry.
    std::size_t current = actives_.size();
    for (std::size_t i = 0; i < current; ++i) {
      Active& a = actives_[i];
      if (!sees(a, depth)) continue;
      std::size_t level = depth - a.base_depth;
      switch (a.search->location->kind) {
        case JunkScanKind::TopLevelEntries:
          begin_folder_item(*a.search, path, depth, kTopLevelFolderSizeLevels);
          enter = true;
          break;
        case JunkScanKind::FilePatterns:
          enter = enter || (a.search->location->recursive && level <= kPatternSearchLevels);
          break;
        case JunkScanKind::FolderNames:
          if (matches(*a.search, name)) {
            begin_folder_item(*a.search, path, depth, kBuildFolderSizeLevels);
            a.paused_at = depth;
            enter = true;
          } else {
            enter = enter || level <= kBuildFolderSearchLevels;
          }
          break;
      }
    }
    return start_nested(path, depth) || enter;
  }

  static constexpr std::size_t kNotPaused = std::numeric_limits<std::size_t>::max();

  struct Active {
    Search* search;
    std::size_t base_depth;
    // FolderNames: the depth of the matched folder being measured; the
    // search itself does not look inside it.
    std::size_t paused_at = kNotPaused;
  };
  // A folder item whose size is being added up.
  struct Sizing {
    Search* search;
    std::size_t item;
    std::size_t depth;
    std::size_t levels;
  };

  // Whether the search saw the parent of an entry at `depth` listed, that
  // is whether its own walk would meet the entry.
  static bool sees(const Active& a, std::size_t depth) {
    if (a.paused_at != kNotPaused) return false;
    std::size_t parent_level = depth - 1 - a.base_depth;
    switch (a.search->location->kind) {
      case JunkScanKind::TopLevelEntries:
        return parent_level == 0;
      case JunkScanKind::FilePatterns:
        return parent_level == 0 || (a.search->location->recursive && parent_level <= kPatternSearchLevels);
      case JunkScanKind::FolderNames:
        return parent_level <= kBuildFolderSearchLevels;
    }
    return false;
  }

  static bool matches(const Search& s, std::string_view name) {
    return std::any_of(s.patterns->begin(), s.patterns->end(), [&](const NamePattern& p) { return p.matches(name); });
  }

  std::vector<Active> actives_;    // base depths never decrease
  std::vector<Sizing> sizings_;    // depths never decrease

 private:
  void begin_folder_item(Search& s, const std::string& path, std::size_t depth, std::size_t levels) {
    if (recording_) s.items.push_back(JunkItem{path, 0, true});
    sizings_.push_back(Sizing{&s, recording_ ? s.items.size() - 1 : 0, depth, levels});
  }

  // Starts the searches whose base folder is `path`; true when a search
  // starts here or lies further below.
  bool start_nested(const std::string& path, std::size_t depth) {
    bool needed = false;
    for (std::size_t i = 0; i < nested_.size(); ++i) {
      if (started_[i]) continue;
      Search* s = nested_[i];
      if (names_base(path, s->base)) {
        started_[i] = true;
        if (recording_) s->done = true;
        actives_.push_back(Active{s, depth});
        needed = true;
      } else {
        needed = needed || lies_below(s->base, path);
      }
    }
    return needed;
  }

  const std::vector<Search*>& nested_;
  std::vector<bool> started_;
  bool recording_;
};

// Walks one base folder once for every search that lies inside it. Many base
// folders nest (every cache folder on Linux is inside the one that
// "app_cache" lists; on Windows "logs" searches LOCALAPPDATA, which holds
// the temporary folder and most caches), and listing a tree once per
// category would cost a multiple of the time. A nested search starts when
// the walk reaches its base folder and sees the entries its own walk would:
// each search and each folder item being measured applies its own level
// limits, and the walk enters a folder when any of them needs it. Depths
// are the walk's (1 for the walked folder's own entries).
class SharedWalk {
 public:
  SharedWalk(Search& outer, std::vector<Search*> nested, std::unique_ptr<platform::ListingSource> listing,
             const platform::TaskHooks& hooks)
      : outer_(outer), nested_(std::move(nested)), listing_(std::move(listing)), hooks_(hooks) {}

  void run() {
    platform::WalkOptions options{.hooks = hooks_, .walkers = platform::kEveryProcessor};
    // The warmers read only the folders this walk enters: each one's path
    // replays the rules from the base folder down.
    options.scope = [this](std::string_view path, std::size_t depth) { return enters(path, depth); };
    DirectoryWalk walk(outer_.base, options, std::move(listing_));
    outer_.done = true;
    FolderRules rules(outer_, nested_, true);
    while (walk.next()) {
      std::size_t depth = walk.depth();
      rules.leave_finished(depth);
      EntryKind kind = walk.kind();
      if (kind == EntryKind::file) {
        on_file(rules, walk, depth);
      } else if (kind == EntryKind::directory) {
        if (!rules.on_folder(walk.path(), walk.name(), depth)) walk.skip_directory();
      }
      // Links are neither items, nor entered, nor counted; special files
      // (POSIX FIFOs, sockets, devices) are never measured.
    }
  }

 private:
  // Whether the walk enters the folder at `path` (its depth given): the
  // rules replayed along the path, each ancestor entered in turn. Safe on
  // any thread: it reads nothing the walk changes.
  bool enters(std::string_view path, std::size_t depth) {
    FolderRules rules(outer_, nested_, false);
    std::string at = outer_.base;
    std::size_t from = std::min(outer_.base.size(), path.size());
    for (std::size_t level = 1; level <= depth; ++level) {
      while (from < path.size() && platform::is_path_separator(path[from])) ++from;
      std::size_t to = from;
      while (to < path.size() && !platform::is_path_separator(path[to])) ++to;
      std::string_view name = path.substr(from, to - from);
      at = platform::join_path(at, name);
      from = to;
      rules.leave_finished(level);
      if (!rules.on_folder(at, name, level)) return false;
    }
    return true;
  }

  void on_file(FolderRules& rules, DirectoryWalk& walk, std::size_t depth) {
    // The size is fetched once, and only if some search or item needs it
    // (on POSIX that is one fstatat).
    std::optional<std::uint64_t> size;
    bool fetched = false;
    auto size_of = [&]() -> const std::optional<std::uint64_t>& {
      if (!fetched) {
        fetched = true;
        if (auto stat = walk.stat(); stat.ok()) size = stat->size;
      }
      return size;
    };
    for (const FolderRules::Sizing& s : rules.sizings_) {
      if (depth - 1 - s.depth > s.levels) continue;
      if (!size_of()) continue;
      std::uint64_t& total = s.search->items[s.item].size;
      total = platform::saturating_add(total, *size);
    }
    for (const FolderRules::Active& a : rules.actives_) {
      if (!FolderRules::sees(a, depth)) continue;
      JunkScanKind kind = a.search->location->kind;
      bool item = kind == JunkScanKind::TopLevelEntries ||
                  (kind == JunkScanKind::FilePatterns && FolderRules::matches(*a.search, walk.name()));
      if (item && size_of()) a.search->items.push_back(JunkItem{walk.path(), *size, false});
    }
  }

  Search& outer_;
  std::vector<Search*> nested_;
  std::unique_ptr<platform::ListingSource> listing_;
  platform::TaskHooks hooks_;
};

// Walks every base folder that lies inside no other one, each once for all
// the searches inside it. A nested base the walk did not reach (behind a
// link, an unreadable folder, or a text that differs) stays to be done and
// gets a walk of its own in a later round.
void walk_searches(std::vector<Search>& searches, const Environment& environment, const platform::TaskHooks& hooks) {
  auto inside_another = [&](const Search& s) {
    return std::any_of(searches.begin(), searches.end(),
                       [&](const Search& t) { return !t.done && lies_below(s.base, t.base); });
  };
  while (!hooks.stopped()) {
    auto outer = std::find_if(searches.begin(), searches.end(),
                              [&](const Search& s) { return !s.done && !inside_another(s); });
    if (outer == searches.end()) return;
    std::vector<Search*> nested;
    for (Search& s : searches) {
      if (&s != &*outer && !s.done && (names_base(outer->base, s.base) || lies_below(s.base, outer->base))) {
        nested.push_back(&s);
      }
    }
    SharedWalk(*outer, std::move(nested), environment.listing(), hooks).run();
  }
}

}  // namespace

void run_searches(std::vector<JunkSearch>& searches, const Environment& environment,
                  const platform::TaskHooks& hooks) {
  // Each category's patterns are prepared once, however many bases it has.
  std::map<const JunkLocation*, std::vector<NamePattern>> patterns;
  std::vector<Search> walked;
  for (JunkSearch& s : searches) {
    auto at = patterns.try_emplace(s.location, s.location->patterns.begin(), s.location->patterns.end()).first;
    walked.push_back(Search{s.location, &at->second, s.base, {}});
  }
  walk_searches(walked, environment, hooks);
  for (std::size_t i = 0; i < searches.size(); ++i) searches[i].items = std::move(walked[i].items);
}

JunkScanResult scan_junk(const Environment& environment, const platform::TaskHooks& hooks) {
  auto catalogue = junk_catalogue();
  std::vector<JunkSearch> searches;
  for (const JunkLocation& location : catalogue) {
    for (std::string& base : base_folders(location.base_folders, environment)) {
      searches.push_back(JunkSearch{&location, std::move(base), {}});
    }
  }
  run_searches(searches, environment, hooks);

  JunkScanResult result;
  for (const JunkLocation& location : catalogue) {
    // Items in collection order: base folders in list order, then walk order.
    std::vector<JunkItem> items;
    for (JunkSearch& s : searches) {
      if (s.location != &location) continue;
      for (JunkItem& item : s.items) items.push_back(std::move(item));
    }
    if (items.empty()) continue;
    std::stable_sort(items.begin(), items.end(), [](const JunkItem& a, const JunkItem& b) { return a.size > b.size; });
    JunkCategory category{std::string(location.id), std::move(items), 0, 0, location.safety};
    for (const JunkItem& item : category.items) {
      category.total_size = platform::saturating_add(category.total_size, item.size);
    }
    category.item_count = category.items.size();
    keep_what_fits(category.items, [](const JunkItem& item) { return item.path.size(); });
    result.total_size = platform::saturating_add(result.total_size, category.total_size);
    result.categories.push_back(std::move(category));
  }
  return result;
}

}  // namespace corvane::junk_scan
