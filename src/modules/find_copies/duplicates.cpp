#include "modules/find_copies/duplicates.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <tuple>
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
// Files compared at a time (the sizes of a batch are all of their files).
// Enough for every processor to keep reading in inode order.
constexpr std::size_t kBatch = 16384;

// What the walk keeps of a file: small, since every file of at least
// min_size has one until the sizes are known. The name sits in the
// walker's byte store, the folder's path once in its folder list.
struct Listed {
  std::uint64_t size;
  std::uint64_t device;
  std::uint64_t file_id;
  std::uint64_t modified;
  std::uint64_t name_at;
  std::uint32_t folder;
  std::uint32_t name_length;
};

// Names in fixed blocks: growing never copies what it holds, nor reserves
// twice the room it needs, as one string would.
class NameStore {
 public:
  std::uint64_t add(std::string_view name) {
    if (blocks_.empty() || capacity_ - used_ < name.size()) {
      capacity_ = std::max(kBlock, name.size());
      blocks_.push_back(std::make_unique<char[]>(capacity_));
      used_ = 0;
    }
    std::copy(name.begin(), name.end(), blocks_.back().get() + used_);
    std::uint64_t at = ((blocks_.size() - 1) << kShift) | used_;
    used_ += name.size();
    return at;
  }
  std::string_view at(std::uint64_t at, std::size_t length) const {
    return {blocks_[at >> kShift].get() + (at & ((std::uint64_t{1} << kShift) - 1)), length};
  }

 private:
  static constexpr std::size_t kShift = 32;
  static constexpr std::size_t kBlock = 64 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t capacity_ = 0;  // of the last block
  std::size_t used_ = 0;
};

// A deque, not a vector, for the same reason.
struct WalkerStore {
  std::deque<Listed> files;
  NameStore names;
  std::vector<std::string> folders;  // raw paths, each ending in a separator
};

class DuplicateVisitor final : public WalkVisitor {
 public:
  DuplicateVisitor(const std::vector<std::string>& roots, const FindDuplicatesRequest& request)
      : roots_(roots.begin(), roots.end()), excludes_(request.exclude_paths), min_size_(request.min_size),
        stores_(1) {}

  bool may_enter(std::string_view path) const override {
    return excludes_.empty() || !excludes_.any_prefix_of(dir_scan::lowered_path(platform::display_path(path)));
  }

  // A search directory met inside another is walked on its own.
  bool enters(const DirectoryWalk& walk) override {
    if (roots_.size() > 1 && roots_.count(walk.raw_path()) > 0) return false;
    return may_enter(walk.path());
  }

  void file(DirectoryWalk& walk) override {
    Result<platform::EntryStat> stat = walk.stat();
    if (!stat.ok() || stat->size < min_size_) return;
    if (!excludes_.empty() && excludes_.any_inside(dir_scan::lowered_path(platform::display_path(walk.path())))) {
      return;
    }
    WalkerStore& store = stores_.front();
    const std::string& raw = walk.raw_path();
    const std::size_t name_length = walk.raw_name().size();
    std::string_view folder(raw.data(), raw.size() - name_length);
    if (store.folders.empty() || store.folders.back() != folder) store.folders.emplace_back(folder);
    store.files.push_back(Listed{stat->size, stat->device, stat->file_id, unix_seconds_from_filetime(stat->last_write),
                                 store.names.add(walk.raw_name()), static_cast<std::uint32_t>(store.folders.size() - 1),
                                 static_cast<std::uint32_t>(name_length)});
  }

  std::deque<WalkerStore> take_stores() { return std::move(stores_); }

 private:
  std::set<std::string, std::less<>> roots_;
  dir_scan::ExcludeList excludes_;
  std::uint64_t min_size_;
  std::deque<WalkerStore> stores_;
};

struct FileRef {
  std::uint32_t store;
  std::uint32_t index;
};

// Every file the walkers listed; paths are made from the stores when asked.
class FileTable {
 public:
  explicit FileTable(std::deque<WalkerStore> stores) : stores_(std::move(stores)) {}

  Listed& at(FileRef f) { return stores_[f.store].files[f.index]; }
  const Listed& at(FileRef f) const { return stores_[f.store].files[f.index]; }

  // The raw path, which opens the file.
  void path_into(FileRef f, std::string& out) const {
    const WalkerStore& store = stores_[f.store];
    const Listed& file = store.files[f.index];
    out = store.folders[file.folder];
    out.append(store.names.at(file.name_at, file.name_length));
  }
  std::string path(FileRef f) const {
    std::string out;
    path_into(f, out);
    return out;
  }
  std::string shown(FileRef f) const { return platform::display_path(path(f)); }

  // Paths that show the same text (names that are not UTF-8) go by their
  // raw bytes, so the reply is the same every time.
  bool shown_first(FileRef a, FileRef b) const {
    std::string pa = path(a), pb = path(b);
    std::string sa = platform::display_path(pa), sb = platform::display_path(pb);
    return sa != sb ? sa < sb : pa < pb;
  }

  std::deque<WalkerStore>& stores() { return stores_; }

 private:
  std::deque<WalkerStore> stores_;
};

// A file that shares its size with another.
struct Compared {
  FileRef file;
  bool failed = false;
  Digest digest{};  // the partial fingerprint, then the whole file's
};

// Keeps the runs of neighbours that `same` joins and that hold two or more,
// in place (a smaller copy would briefly need room for both).
template <typename Item, typename Same>
void keep_shared_runs(std::vector<Item>& files, Same same) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < files.size();) {
    std::size_t end = i + 1;
    while (end < files.size() && same(files[i], files[end])) ++end;
    if (end - i > 1) {
      for (; i < end; ++i) files[kept++] = files[i];
    }
    i = end;
  }
  files.resize(kept);
}

// Runs `body` on every file of `work` in parallel, in the order the files
// lie on the disk as far as the system tells it cheaply: file ids (inode
// numbers on Linux, which file systems hand out roughly along the disk).
void for_each_on_disk(const FileTable& table, std::vector<Compared*>& work,
                      const std::function<void(Compared&)>& body) {
  std::sort(work.begin(), work.end(), [&](const Compared* a, const Compared* b) {
    const Listed& x = table.at(a->file);
    const Listed& y = table.at(b->file);
    return x.device != y.device ? x.device < y.device : x.file_id < y.file_id;
  });
  runtime::parallel_pool().for_each_index(
      work.size(), [&](std::size_t i) { body(*work[i]); }, kFilesAtOnce);
}

// The most a listed file can add to a reply: its record in the pretty text,
// escaped again inside the reply's string, and in the structured copy. A
// group is not a plain record list for the server's own cut (it holds one),
// so the groups are fitted here, where nothing more is cut but a group's
// files should one group alone pass the room.
constexpr std::size_t kFileFrame = 160;
constexpr std::size_t kGroupFrame = 400;
constexpr std::size_t kPayloadFrame = 8192;  // the totals, the envelope, the footer

std::size_t json_escaped_size(std::string_view text) {
  std::size_t size = 0;
  for (unsigned char c : text) size += c == '"' || c == '\\' ? 2 : c < 0x20 ? 6 : 1;
  return size;
}

class Comparison {
 public:
  Comparison(FileTable& table, const platform::TaskHooks& hooks) : table_(table), hooks_(hooks) {}

  // The files of every size that at least two listed files share. The
  // sizes are sorted first, so that only those files get a record.
  std::vector<FileRef> sharing_a_size() {
    std::vector<std::uint64_t> sizes;
    std::size_t listed = 0;
    for (const WalkerStore& store : table_.stores()) listed += store.files.size();
    sizes.reserve(listed);
    for (const WalkerStore& store : table_.stores()) {
      for (const Listed& f : store.files) sizes.push_back(f.size);
    }
    std::sort(sizes.begin(), sizes.end());
    std::vector<std::uint64_t> shared;
    for (std::size_t i = 1; i < sizes.size(); ++i) {
      if (sizes[i] == sizes[i - 1] && (shared.empty() || shared.back() != sizes[i])) shared.push_back(sizes[i]);
    }
    auto is_shared = [&](const Listed& f) { return std::binary_search(shared.begin(), shared.end(), f.size); };
    std::size_t count = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      count += (i > 0 && sizes[i] == sizes[i - 1]) || (i + 1 < sizes.size() && sizes[i] == sizes[i + 1]);
    }
    sizes = {};
    std::vector<FileRef> files;
    files.reserve(count);
    for (std::uint32_t s = 0; s < table_.stores().size(); ++s) {
      const std::deque<Listed>& in_store = table_.stores()[s].files;
      for (std::uint32_t i = 0; i < in_store.size(); ++i) {
        if (is_shared(in_store[i])) files.push_back(FileRef{s, i});
      }
    }
    return files;
  }

  // Several paths of one file are that file once, at its first path: a
  // file id the listing did not give is asked of the file itself.
  void keep_distinct(std::vector<FileRef>& files) {
    std::vector<FileRef> refs;
    for (FileRef f : files) {
      if (table_.at(f).device == 0 && table_.at(f).file_id == 0) refs.push_back(f);
    }
    runtime::parallel_pool().for_each_index(refs.size(), [&](std::size_t i) {
      Result<platform::PathMetadata> meta = platform::path_metadata(table_.path(refs[i]));
      if (!meta.ok()) return;
      Listed& listed = table_.at(refs[i]);
      listed.device = meta->stat.device;
      listed.file_id = meta->stat.file_id;
    }, kFilesAtOnce);
    // Sorted with their keys at hand: a file's record is a lookup away.
    struct Keyed {
      std::uint64_t size, device, file_id;
      FileRef file;
      bool operator<(const Keyed& o) const { return std::tie(size, device, file_id) < std::tie(o.size, o.device, o.file_id); }
      bool same(const Keyed& o) const { return !(*this < o) && !(o < *this) && (device | file_id) != 0; }
    };
    std::vector<Keyed> keyed;
    keyed.reserve(files.size());
    for (FileRef f : files) {
      const Listed& l = table_.at(f);
      keyed.push_back(Keyed{l.size, l.device, l.file_id, f});
    }
    std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
      if (a < b || b < a) return a < b;
      return table_.shown_first(a.file, b.file);
    });
    files.clear();
    for (std::size_t i = 0; i < keyed.size(); ++i) {
      if (i == 0 || !keyed[i].same(keyed[i - 1])) files.push_back(keyed[i].file);
    }
    // Sizes that two paths of one file alone had shared are no longer shared.
    keep_shared_runs(files, [&](FileRef a, FileRef b) { return size(a) == size(b); });
  }

  // Partial fingerprints where a size over one window is shared; then the
  // whole digest where a size and fingerprint are shared.
  void digest(std::vector<Compared>& files) {
    std::vector<Compared*> work;
    for (Compared& f : files) {
      if (size(f) > kPartialWindow) work.push_back(&f);
    }
    for_each_on_disk(table_, work, [&](Compared& f) { read(f, false); });
    settle_unshared(files);
    work.clear();
    for (Compared& f : files) {
      if (!f.failed) work.push_back(&f);
    }
    for_each_on_disk(table_, work, [&](Compared& f) {
      read(f, true);
      hooks_.advance(size(f));
    });
  }

  // Adds the groups of files alike, each in path order. Paths are not
  // kept: a group holds its files' references, and only the groups a reply
  // lists have their paths made again.
  void group(std::vector<Compared>& files) {
    std::sort(files.begin(), files.end(), [&](const Compared& a, const Compared& b) { return key(a) < key(b); });
    for (std::size_t i = 0; i < files.size();) {
      std::size_t end = i + 1;
      while (end < files.size() && key(files[i]) == key(files[end])) ++end;
      if (end - i > 1 && !files[i].failed) {
        std::vector<std::tuple<std::string, std::string, FileRef>> paths;  // shown, raw
        for (std::size_t k = i; k < end; ++k) {
          std::string raw = table_.path(files[k].file);
          paths.emplace_back(platform::display_path(raw), std::move(raw), files[k].file);
        }
        std::sort(paths.begin(), paths.end(),
                  [](const auto& x, const auto& y) { return std::tie(std::get<0>(x), std::get<1>(x)) <
                                                            std::tie(std::get<0>(y), std::get<1>(y)); });
        Found group{size(files[i]), {}, std::move(std::get<0>(paths.front())), std::move(std::get<1>(paths.front()))};
        for (const auto& path : paths) group.files.push_back(std::get<2>(path));
        found_.push_back(std::move(group));
      }
      i = end;
    }
  }

  // Orders the groups found, most wasted space first, and counts them all.
  void total(DuplicatesResult& result) {
    std::sort(found_.begin(), found_.end(), [](const Found& a, const Found& b) {
      if (a.wasted() != b.wasted()) return a.wasted() > b.wasted();
      if (a.size != b.size) return a.size > b.size;
      return std::tie(a.first_shown, a.first_raw) < std::tie(b.first_shown, b.first_raw);
    });
    result.group_count = found_.size();
    for (const Found& g : found_) {
      result.duplicate_count += g.files.size() - 1;
      result.wasted_size += g.wasted();
    }
  }

  // The groups a reply can hold, with their paths: the first that does not
  // fit whole keeps as many of its files as do. Returns how many groups are
  // left out.
  std::size_t list(std::vector<DuplicateGroup>& out) {
    std::size_t room = kReplyBudget - kPayloadFrame;
    for (std::size_t g = 0; g < found_.size(); ++g) {
      const Found& found = found_[g];
      if (kGroupFrame > room) return found_.size() - g;
      room -= kGroupFrame;
      DuplicateGroup group{found.size, {}};
      for (std::size_t f = 0; f < found.files.size(); ++f) {
        std::string shown = table_.shown(found.files[f]);
        std::size_t cost = kFileFrame + 3 * json_escaped_size(shown);
        if (cost > room) {
          if (f == 0) return found_.size() - g;
          group.omitted_files = found.files.size() - f;
          out.push_back(std::move(group));
          return found_.size() - g - 1;
        }
        room -= cost;
        group.files.push_back(DuplicateFile{std::move(shown), table_.at(found.files[f]).modified});
      }
      out.push_back(std::move(group));
    }
    return 0;
  }

  std::uint64_t size(FileRef f) const { return table_.at(f).size; }
  std::uint64_t size(const Compared& f) const { return size(f.file); }
  std::uint64_t bytes_read() const { return bytes_read_.load(); }

 private:
  std::tuple<bool, std::uint64_t, const Digest&> key(const Compared& f) const {
    return {f.failed, size(f), f.digest};
  }

  void read(Compared& f, bool whole) {
    if (hooks_.stopped() || f.failed) return;
    thread_local std::vector<std::uint8_t> buffer;
    thread_local std::string path;
    table_.path_into(f.file, path);
    Result<fs_noatime::ReadHandle> handle = fs_noatime::open_for_read(path);
    if (!handle.ok()) {
      f.failed = true;
      return;
    }
    std::uint64_t read = 0;
    Result<Digest> digest = whole ? (buffer.resize(kDigestBlock), whole_digest(handle.value(), buffer, hooks_.stop, read))
                                  : partial_digest(handle.value(), size(f), buffer, read);
    bytes_read_.fetch_add(read, std::memory_order_relaxed);
    if (!digest.ok()) {
      f.failed = true;
      return;
    }
    f.digest = digest.value();
  }

  // Files that failed, or whose size and fingerprint no other readable file
  // shares, are done: counted, and left out of what follows.
  void settle_unshared(std::vector<Compared>& files) {
    std::sort(files.begin(), files.end(), [&](const Compared& a, const Compared& b) { return key(a) < key(b); });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < files.size();) {
      std::size_t end = i + 1;
      while (end < files.size() && key(files[i]) == key(files[end])) ++end;
      if (end - i > 1 && !files[i].failed) {
        for (; i < end; ++i) files[kept++] = files[i];
      }
      for (; i < end; ++i) hooks_.advance(size(files[i]));
    }
    files.resize(kept);
  }

  FileTable& table_;
  const platform::TaskHooks& hooks_;
  // A group found. Its first raw path settles the order of groups whose
  // first paths show the same text.
  struct Found {
    std::uint64_t size;
    std::vector<FileRef> files;  // in path order
    std::string first_shown;
    std::string first_raw;
    std::uint64_t wasted() const { return size * (files.size() - 1); }
  };
  std::vector<Found> found_;
  std::atomic<std::uint64_t> bytes_read_{0};
};

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
  FileTable table(visitor.take_stores());

  Comparison comparison(table, hooks);
  std::vector<FileRef> files = comparison.sharing_a_size();
  comparison.keep_distinct(files);
  std::uint64_t to_compare = 0;
  for (FileRef f : files) to_compare += comparison.size(f);
  hooks.begin_stage(to_compare);
  DuplicatesResult result;
  result.files_compared = files.size();
  // A batch of sizes at a time: what is compared is only ever a batch's
  // records, however many files share a size.
  for (std::size_t from = 0; from < files.size() && !hooks.stopped();) {
    std::size_t to = std::min(from + kBatch, files.size());
    while (to < files.size() && comparison.size(files[to]) == comparison.size(files[to - 1])) ++to;
    std::vector<Compared> batch;
    batch.reserve(to - from);
    for (std::size_t i = from; i < to; ++i) batch.push_back(Compared{files[i]});
    comparison.digest(batch);
    comparison.group(batch);
    from = to;
  }
  if (hooks.stopped()) return copy_error(CopyError::cancelled);
  files = {};
  result.bytes_read = comparison.bytes_read();
  comparison.total(result);
  result.omitted_count = comparison.list(result.groups);
  table = FileTable({});
  runtime::give_back_free_memory();
  reporter.report(platform::ProgressEvent{request.task_id, std::string(platform::kStageDone),
                                          context.counters.processed.load(), context.counters.total.load()});
  return result;
}

}  // namespace corvane::find_copies
