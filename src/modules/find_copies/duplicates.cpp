#include "modules/find_copies/duplicates.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "modules/dir_scan/records.h"
#include "modules/find_copies/candidates.h"
#include "modules/find_copies/exact_match.h"
#include "modules/find_copies/validation.h"
#include "modules/reply_budget.h"
#include "platform/path.h"
#include "platform/runtime.h"

namespace corvane::find_copies {

namespace {

using platform::DirectoryWalk;

// Large files are read in large blocks: fewer calls, and a rotating disk
// reads on rather than seeking between the files of several workers.
constexpr std::size_t kDigestBlock = 1 << 20;

// What the walk keeps of a file: small, since every file of at least
// min_size has one until the sizes are known. The name sits in the
// walker's byte store; the folder's path once in its folder list.
struct Listed {
  std::uint64_t size;
  std::uint64_t device;
  std::uint64_t file_id;
  std::uint64_t modified;
  std::uint64_t name_at;
  std::uint32_t folder;
  std::uint32_t name_length;
};

struct WalkerStore {
  std::vector<Listed> files;
  std::string names;
  std::vector<std::string> folders;  // raw paths, each ending in a separator
};

class DuplicateVisitor final : public WalkVisitor {
 public:
  DuplicateVisitor(const std::vector<std::string>& roots, const FindDuplicatesRequest& request)
      : roots_(roots.begin(), roots.end()), excludes_(request.exclude_paths), min_size_(request.min_size) {}

  void walkers(std::size_t count) override {
    if (stores_.size() < count) stores_.resize(count);
  }

  // A search directory met inside another is walked on its own.
  bool enters(const DirectoryWalk& walk) override {
    if (roots_.size() > 1 && roots_.count(walk.raw_path()) > 0) return false;
    return excludes_.empty() || !excludes_.any_prefix_of(dir_scan::lowered_path(platform::display_path(walk.path())));
  }

  void file(DirectoryWalk& walk, std::size_t walker) override {
    Result<platform::EntryStat> stat = walk.stat();
    if (!stat.ok() || stat->size < min_size_) return;
    if (!excludes_.empty() && excludes_.any_inside(dir_scan::lowered_path(platform::display_path(walk.path())))) {
      return;
    }
    WalkerStore& store = stores_[walker];
    const std::string& raw = walk.raw_path();
    const std::size_t name_length = walk.raw_name().size();
    std::string_view folder(raw.data(), raw.size() - name_length);
    if (store.folders.empty() || store.folders.back() != folder) store.folders.emplace_back(folder);
    store.files.push_back(Listed{stat->size, stat->device, stat->file_id, unix_seconds_from_filetime(stat->last_write),
                                 store.names.size(), static_cast<std::uint32_t>(store.folders.size() - 1),
                                 static_cast<std::uint32_t>(name_length)});
    store.names.append(walk.raw_name());
  }

  std::vector<WalkerStore>& stores() { return stores_; }

 private:
  std::set<std::string, std::less<>> roots_;
  dir_scan::ExcludeList excludes_;
  std::uint64_t min_size_;
  std::vector<WalkerStore> stores_;
};

// A file that shares its size with another: from here on it has its path.
struct Compared {
  std::string path;   // raw, to open it
  std::string shown;  // display form
  std::uint64_t size;
  std::uint64_t device;
  std::uint64_t file_id;
  std::uint64_t modified;
  Digest partial{};
  Digest full{};
  bool failed = false;
};

// Orders the rows that show the same text (names that are not UTF-8) by
// their raw path, so the reply is the same every time.
bool shown_first(const Compared& a, const Compared& b) {
  return a.shown != b.shown ? a.shown < b.shown : a.path < b.path;
}

// The files of every size that at least two listed files share, with their
// paths; the walkers' stores are let go as they are read.
std::vector<Compared> sharing_a_size(std::vector<WalkerStore>& stores) {
  struct Ref {
    std::uint64_t size;
    std::uint32_t store;
    std::uint32_t index;
  };
  std::vector<Ref> refs;
  for (std::size_t s = 0; s < stores.size(); ++s) {
    for (std::size_t i = 0; i < stores[s].files.size(); ++i) {
      refs.push_back(Ref{stores[s].files[i].size, static_cast<std::uint32_t>(s), static_cast<std::uint32_t>(i)});
    }
  }
  std::sort(refs.begin(), refs.end(), [](const Ref& a, const Ref& b) { return a.size < b.size; });
  std::vector<Compared> out;
  for (std::size_t i = 0; i < refs.size();) {
    std::size_t end = i + 1;
    while (end < refs.size() && refs[end].size == refs[i].size) ++end;
    const bool shared = end - i > 1;
    for (; shared && i < end; ++i) {
      const WalkerStore& store = stores[refs[i].store];
      const Listed& f = store.files[refs[i].index];
      std::string path = store.folders[f.folder];
      path.append(store.names, static_cast<std::size_t>(f.name_at), f.name_length);
      std::string shown = platform::display_path(path);
      out.push_back(Compared{std::move(path), std::move(shown), f.size, f.device, f.file_id, f.modified});
    }
    i = end;
  }
  stores = {};
  return out;
}

// Runs `body` on every file of `work` in parallel, in the order the files
// lie on the disk as far as the system tells it cheaply: file ids (inode
// numbers on Linux, which file systems hand out roughly along the disk).
void for_each_on_disk(std::vector<Compared*>& work, const std::function<void(Compared&)>& body) {
  std::sort(work.begin(), work.end(), [](const Compared* a, const Compared* b) {
    return a->device != b->device ? a->device < b->device : a->file_id < b->file_id;
  });
  runtime::parallel_pool().for_each_index(work.size(), [&](std::size_t i) { body(*work[i]); });
}

class Comparison {
 public:
  explicit Comparison(const platform::TaskHooks& hooks) : hooks_(hooks) {}

  // Several paths of one file are that file once, at its first path: a
  // file id the listing did not give is asked of the file itself.
  void keep_distinct(std::vector<Compared>& files) {
    std::vector<Compared*> unknown;
    for (Compared& f : files) {
      if (f.device == 0 && f.file_id == 0) unknown.push_back(&f);
    }
    runtime::parallel_pool().for_each_index(unknown.size(), [&](std::size_t i) {
      Result<platform::PathMetadata> meta = platform::path_metadata(unknown[i]->path);
      if (meta.ok()) {
        unknown[i]->device = meta->stat.device;
        unknown[i]->file_id = meta->stat.file_id;
      }
    });
    std::sort(files.begin(), files.end(), [](const Compared& a, const Compared& b) {
      if (a.size != b.size) return a.size < b.size;
      if (a.device != b.device) return a.device < b.device;
      if (a.file_id != b.file_id) return a.file_id < b.file_id;
      return shown_first(a, b);
    });
    auto same_file = [](const Compared& a, const Compared& b) {
      return a.size == b.size && a.device == b.device && a.file_id == b.file_id && (a.device | a.file_id) != 0;
    };
    files.erase(std::unique(files.begin(), files.end(), same_file), files.end());
    // Sizes that two paths of one file alone had shared are no longer shared.
    std::vector<Compared> kept;
    for_each_run(files, [](const Compared& a, const Compared& b) { return a.size == b.size; },
                 [&](std::size_t from, std::size_t to) {
                   if (to - from < 2) return;
                   for (std::size_t i = from; i < to; ++i) kept.push_back(std::move(files[i]));
                 });
    files = std::move(kept);
  }

  // Partial fingerprints where a size over one window is shared; then the
  // whole digest where a size and fingerprint are shared.
  void digest(std::vector<Compared>& files) {
    std::vector<Compared*> work;
    for (Compared& f : files) {
      if (f.size > kPartialWindow) work.push_back(&f);
    }
    for_each_on_disk(work, [&](Compared& f) { read(f, false); });
    settle_unshared(files, [](const Compared& a, const Compared& b) {
      return a.size == b.size && a.partial == b.partial;
    });
    work.clear();
    for (Compared& f : files) {
      if (!f.failed) work.push_back(&f);
    }
    for_each_on_disk(work, [&](Compared& f) {
      read(f, true);
      hooks_.advance(f.size);
    });
  }

  std::uint64_t bytes_read() const { return bytes_read_.load(); }

  // Calls `run(from, to)` for each run of neighbours that `same` joins.
  template <typename Same, typename Run>
  static void for_each_run(const std::vector<Compared>& files, Same same, Run run) {
    for (std::size_t i = 0; i < files.size();) {
      std::size_t end = i + 1;
      while (end < files.size() && same(files[i], files[end])) ++end;
      run(i, end);
      i = end;
    }
  }

 private:
  void read(Compared& f, bool whole) {
    if (hooks_.stopped() || f.failed) return;
    thread_local std::vector<std::uint8_t> buffer;
    Result<fs_noatime::ReadHandle> handle = fs_noatime::open_for_read(f.path);
    if (!handle.ok()) {
      f.failed = true;
      return;
    }
    std::uint64_t read = 0;
    Result<Digest> digest = whole ? (buffer.resize(kDigestBlock), whole_digest(handle.value(), buffer, hooks_.stop, read))
                                  : partial_digest(handle.value(), f.size, buffer, read);
    bytes_read_.fetch_add(read, std::memory_order_relaxed);
    if (!digest.ok()) {
      f.failed = true;
      return;
    }
    (whole ? f.full : f.partial) = digest.value();
  }

  // Files that failed, or whose size and fingerprint no other readable file
  // shares, are done: counted, and marked failed so nothing reads them.
  template <typename Same>
  void settle_unshared(std::vector<Compared>& files, Same same) {
    std::sort(files.begin(), files.end(), [](const Compared& a, const Compared& b) {
      if (a.failed != b.failed) return a.failed;
      if (a.size != b.size) return a.size < b.size;
      return a.partial < b.partial;
    });
    for_each_run(files, [&](const Compared& a, const Compared& b) { return !a.failed && !b.failed && same(a, b); },
                 [&](std::size_t from, std::size_t to) {
                   if (to - from >= 2 && !files[from].failed) return;
                   for (std::size_t i = from; i < to; ++i) {
                     files[i].failed = true;
                     hooks_.advance(files[i].size);
                   }
                 });
  }

  const platform::TaskHooks& hooks_;
  std::atomic<std::uint64_t> bytes_read_{0};
};

std::vector<DuplicateGroup> grouped(std::vector<Compared>& files) {
  std::sort(files.begin(), files.end(), [](const Compared& a, const Compared& b) {
    if (a.failed != b.failed) return b.failed;
    if (a.size != b.size) return a.size < b.size;
    if (a.full != b.full) return a.full < b.full;
    return shown_first(a, b);
  });
  // Each group with its first raw path, which settles the order of groups
  // whose first paths show the same text.
  std::vector<std::pair<DuplicateGroup, std::string>> built;
  Comparison::for_each_run(
      files,
      [](const Compared& a, const Compared& b) {
        return !a.failed && !b.failed && a.size == b.size && a.full == b.full;
      },
      [&](std::size_t from, std::size_t to) {
        if (to - from < 2 || files[from].failed) return;
        DuplicateGroup group{files[from].size, {}};
        for (std::size_t i = from; i < to; ++i) {
          group.files.push_back(DuplicateFile{std::move(files[i].shown), files[i].modified});
        }
        built.emplace_back(std::move(group), std::move(files[from].path));
      });
  std::sort(built.begin(), built.end(), [](const auto& x, const auto& y) {
    const DuplicateGroup& a = x.first;
    const DuplicateGroup& b = y.first;
    if (a.wasted_size() != b.wasted_size()) return a.wasted_size() > b.wasted_size();
    if (a.size != b.size) return a.size > b.size;
    if (a.files.front().path != b.files.front().path) return a.files.front().path < b.files.front().path;
    return x.second < y.second;
  });
  std::vector<DuplicateGroup> groups;
  groups.reserve(built.size());
  for (auto& [group, first] : built) groups.push_back(std::move(group));
  return groups;
}

// The canonical search directories, each once, less those the exclude
// rule takes whole.
std::vector<std::string> distinct_roots(std::vector<std::string> roots, const dir_scan::ExcludeList& excludes) {
  std::vector<std::string> out;
  for (std::string& root : roots) {
    if (std::find(out.begin(), out.end(), root) != out.end()) continue;
    if (!excludes.empty() && excludes.any_prefix_of(dir_scan::lowered_path(platform::display_path(root)))) continue;
    out.push_back(std::move(root));
  }
  return out;
}

std::size_t group_text_bytes(const DuplicateGroup& group) {
  std::size_t bytes = 0;
  for (const DuplicateFile& f : group.files) bytes += f.path.size() + kRecordFloor;
  return bytes;
}

}  // namespace

Result<DuplicatesResult> find_duplicates(const FindDuplicatesRequest& request, ToolContext& context) {
  if (request.search_dirs.size() > kMaxSearchDirs) return copy_error(CopyError::too_many_search_dirs);
  Result<std::vector<std::string>> validated = validate_search_dirs(request.search_dirs);
  if (!validated.ok()) return validated.failure();
  const std::vector<std::string> roots =
      distinct_roots(std::move(validated).value(), dir_scan::ExcludeList(request.exclude_paths));

  platform::NullProgressSink unwatched;
  platform::ProgressReporter reporter(context.events ? *context.events : unwatched, platform::system_clock());
  reporter.report(platform::ProgressEvent{request.task_id, std::string(kStageCollecting), 0, 0});
  const platform::TaskHooks hooks = context.hooks();

  DuplicateVisitor visitor(roots, request);
  walk_roots(WalkRootsOptions{roots, request.recursive, request.task_id}, visitor, hooks, reporter);
  if (hooks.stopped()) return copy_error(CopyError::cancelled);
  std::vector<Compared> files = sharing_a_size(visitor.stores());

  Comparison comparison(hooks);
  comparison.keep_distinct(files);
  std::uint64_t to_compare = 0;
  for (const Compared& f : files) to_compare += f.size;
  hooks.begin_stage(to_compare);
  DuplicatesResult result;
  result.files_compared = files.size();
  comparison.digest(files);
  if (hooks.stopped()) return copy_error(CopyError::cancelled);
  result.bytes_read = comparison.bytes_read();

  result.groups = grouped(files);
  files = {};
  result.group_count = result.groups.size();
  for (const DuplicateGroup& g : result.groups) {
    result.duplicate_count += g.files.size() - 1;
    result.wasted_size += g.wasted_size();
  }
  result.omitted_count = keep_what_fits(result.groups, group_text_bytes);
  reporter.report(platform::ProgressEvent{request.task_id, std::string(platform::kStageDone),
                                          context.counters.processed.load(), context.counters.total.load()});
  return result;
}

}  // namespace corvane::find_copies
