#include "platform/dir_warm.h"

#include <algorithm>
#include <system_error>

#include "platform/path.h"
#include "platform/runtime.h"

namespace corvane::platform {

namespace {

// A key the walk has passed: before its position and not one of the
// directories it is inside (those still have entries ahead of it).
bool passed(const WalkKey& key, const WalkKey& walk_at) {
  if (key.size() <= walk_at.size() && std::equal(key.begin(), key.end(), walk_at.begin())) return false;
  return key < walk_at;
}

}  // namespace

DirectoryWarmer::DirectoryWarmer(ListingSource& source, std::string root, std::size_t max_depth, bool stats,
                                 std::function<bool(std::string_view, std::size_t)> scope)
    : source_(source), root_(std::move(root)), max_depth_(max_depth), stats_(stats), scope_(std::move(scope)) {}

DirectoryWarmer::~DirectoryWarmer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    stop_.store(true);
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool DirectoryWarmer::start() {
  if (max_depth_ == 0) return false;
  ListingSource::Opened base = source_.open_root(root_);
  if (!base.ok()) return false;
  base_ = std::move(base).value();
  hold_handle();
  pending_.emplace(WalkKey{}, Pending{{}, {}, scope_ ? root_ : std::string()});
  try {
    for (std::size_t i = 0; i < kThreads; ++i) threads_.emplace_back([this] { run(); });
  } catch (const std::system_error&) {
    // Fewer threads than asked (a process limit): warm with those there are.
  }
  return !threads_.empty();
}

void DirectoryWarmer::walked_into(const WalkKey& key) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    walk_at_ = key;
    while (!ahead_.empty() && !(key < ahead_.begin()->first)) {
      ahead_total_ -= ahead_.begin()->second;
      ahead_.erase(ahead_.begin());
    }
    if (rescan_ && pending_.empty() && busy_ == 0) {
      // Start again from the root: only the directories the walk is in and
      // those ahead of it are listed again, and they are in memory by now.
      rescan_ = false;
      pending_.emplace(WalkKey{}, Pending{{}, {}, scope_ ? root_ : std::string()});
    }
  }
  wake_.notify_all();
}

void DirectoryWarmer::hold_handle() {
  std::size_t held = handles_.fetch_add(1) + 1;
  std::size_t most = most_handles_.load();
  while (held > most && !most_handles_.compare_exchange_weak(most, held)) {
  }
}

void DirectoryWarmer::drop_handle() { handles_.fetch_sub(1); }

void DirectoryWarmer::run() {
  // The walk comes first: warming only pays while it does not slow it.
  runtime::lower_this_thread_priority();
  try {
    WalkKey key;
    Pending item;
    while (take(key, item)) {
      warm(key, item);
      std::lock_guard<std::mutex> lock(mutex_);
      --busy_;
    }
  } catch (...) {
    // Out of memory: this thread stops warming; the walk never noticed it.
    std::lock_guard<std::mutex> lock(mutex_);
    if (busy_ > 0) --busy_;
  }
}

bool DirectoryWarmer::take(WalkKey& key, Pending& item) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_) return false;
    while (!pending_.empty() && passed(pending_.begin()->first, walk_at_)) pending_.erase(pending_.begin());
    if (!pending_.empty() && ahead_total_ < kMaxAhead) {
      auto first = pending_.begin();
      key = first->first;
      item = std::move(first->second);
      pending_.erase(first);
      ++busy_;
      return true;
    }
    wake_.wait(lock);
  }
}

void DirectoryWarmer::warm(const WalkKey& key, const Pending& item) {
  hold_handle();
  ListingSource::Opened opened = source_.open_below(*base_, item.relative, item.entry);
  if (!opened.ok()) {
    drop_handle();
    return;
  }
  std::unique_ptr<Listing> listing = std::move(opened).value();
  bool descend = key.size() + 1 < max_depth_ && key.size() < kMaxDepth;
  std::uint32_t ordinal = 0;
  std::uint64_t failure_run = 0, listed = 1, files = 0;
  ListingSource::Entry entry;
  for (;; ++ordinal) {
    if (stop_.load(std::memory_order_relaxed)) break;
    entry.clear_facts();
    ListingSource::Read read = source_.read(*listing, entry);
    if (read == ListingSource::Read::end || read == ListingSource::Read::error) break;
    if (read == ListingSource::Read::failed_entry) {
      if (++failure_run >= kMaxConsecutiveFailures) break;
      continue;
    }
    failure_run = 0;
    ++listed;
    if (stats_ && entry.kind == EntryKind::file && !entry.stat && files++ % kStatOneFileIn == 0) {
      (void)source_.stat(*listing, entry);
    }
    if (!descend || entry.kind != EntryKind::directory) continue;
    std::string shown;
    if (scope_) {
      shown = join_path(item.shown, entry.name);
      if (!scope_(shown, key.size() + 1)) continue;
    }
    WalkKey child = key;
    child.push_back(ordinal);
    std::string relative = item.relative;
    if (!relative.empty()) relative += kPathSeparator;
    relative += entry.raw_name;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (passed(child, walk_at_)) continue;
      if (pending_.size() >= kMaxPending) {
        // Keep the nearest; what is dropped is found again later.
        rescan_ = true;
        auto last = std::prev(pending_.end());
        if (!(child < last->first)) continue;
        pending_.erase(last);
      }
      pending_.emplace(std::move(child), Pending{std::move(relative), entry, std::move(shown)});
    }
    wake_.notify_one();
  }
  listing.reset();
  drop_handle();
  warmed_.fetch_add(1);
  std::lock_guard<std::mutex> lock(mutex_);
  if (walk_at_ < key && ahead_.emplace(key, listed).second) ahead_total_ += listed;
}

}  // namespace corvane::platform
