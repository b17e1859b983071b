#include "platform/dir_walk_ahead.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "platform/path.h"

namespace corvane::platform {

namespace {

// As the walk's own first-read timing (dir_walk.cpp): a folder that took
// longer than this to open and start reading was not in memory.
constexpr std::chrono::microseconds kSlowFirstRead{60};
// How often a long listing looks whether the walk was stopped.
constexpr std::size_t kStopCheckEvery = 256;

std::atomic<std::size_t> g_walkers_override{0};

}  // namespace

void set_walkers_override(std::size_t count) { g_walkers_override.store(count); }

std::size_t walkers_for(std::size_t asked) {
  if (std::size_t forced = g_walkers_override.load(std::memory_order_relaxed); forced > 0 && asked != 1) return forced;
  if (asked != kEveryProcessor) return asked;
  static const std::size_t processors = std::max(1u, std::thread::hardware_concurrency());
  return std::min(processors, kMaxWalkers);
}

bool WalkAhead::NextChildFirst::operator()(const AheadFolder* a, const AheadFolder* b) const {
  // Each stands for its next child: its key with that child's ordinal after.
  const std::uint32_t child_a = a->children[a->next_child].index, child_b = b->children[b->next_child].index;
  const std::size_t size_a = a->key.size(), size_b = b->key.size();
  for (std::size_t i = 0;; ++i) {
    const bool end_a = i == size_a, end_b = i == size_b;
    const std::uint32_t x = end_a ? child_a : a->key[i], y = end_b ? child_b : b->key[i];
    if (x != y) return x < y;
    if (end_a || end_b) return size_a < size_b;
  }
}

WalkAhead::WalkAhead(ListingSource& source, std::unique_ptr<Listing> base, std::string root,
                     const WalkOptions& options)
    : source_(source), base_(std::move(base)), root_(std::move(root)), options_(options) {}

WalkAhead::~WalkAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    stop_.store(true, std::memory_order_relaxed);
  }
  work_.notify_all();
  for (runtime::LightThread& thread : threads_) thread.join();
  if (budget_ != nullptr) budget_->give_back(handles_);
}

bool WalkAhead::stopped() const { return stop_.load(std::memory_order_relaxed) || options_.hooks.stopped(); }

std::shared_ptr<AheadFolder> WalkAhead::read_root() {
  auto root = std::make_shared<AheadFolder>();
  root->shown = root_;
  root->opened = true;
  read(*root, *base_, {});
  std::lock_guard<std::mutex> lock(mutex_);
  finish_locked(*root);
  return root;
}

std::size_t WalkAhead::start(std::size_t count, HandleBudget& budget) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty() && threads_.empty()) return 0;
  }
  budget_ = &budget;
  for (std::size_t i = 0; i < count && budget.try_take(1); ++i) {
    try {
      threads_.emplace_back([this] { run(); });
    } catch (const std::system_error&) {
      // A process limit: read ahead with the walkers there are.
      budget.give_back(1);
      break;
    }
    ++handles_;
  }
  return threads_.size();
}

void WalkAhead::run() {
  for (;;) {
    std::shared_ptr<AheadFolder> folder;
    try {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.wait(lock, [this] { return stopping_ || (!queue_.empty() && ahead_ < kMaxAhead); });
        if (stopping_) return;
        AheadFolder& parent = **queue_.begin();
        folder = take_locked(parent, parent.children[parent.next_child]);
      }
      read_folder(*folder);
      std::lock_guard<std::mutex> lock(mutex_);
      finish_locked(*folder);
      if (!waiting_) continue;
    } catch (...) {
      // Out of memory, most likely: this walker stops, and the walk reads
      // what it leaves itself (and fails there, as a walk on its own would).
      std::lock_guard<std::mutex> lock(mutex_);
      if (folder != nullptr && folder->state == AheadFolder::State::reading) {
        folder->state = AheadFolder::State::failed;
      }
      read_.notify_all();
      return;
    }
    read_.notify_all();
  }
}

void WalkAhead::read_folder(AheadFolder& folder) {
  const auto started = std::chrono::steady_clock::now();
  ListingSource::Opened opened = source_.open_below(*base_, folder.relative, folder.facts);
  if (!opened.ok()) {
    folder.opened = false;
    folder.denied = opened.error_code() == ErrorCode::permission_denied;
    return;
  }
  folder.opened = true;
  std::unique_ptr<Listing> listing = std::move(opened).value();
  read(folder, *listing, started);
}

void WalkAhead::note_first_read(std::chrono::steady_clock::time_point started) {
  if (std::chrono::steady_clock::now() - started >= kSlowFirstRead) {
    slowness_.fetch_add(2, std::memory_order_relaxed);
    return;
  }
  std::uint32_t was = slowness_.load(std::memory_order_relaxed);
  while (was > 0 && was < kSlownessToWarm && !slowness_.compare_exchange_weak(was, was - 1)) {
  }
}

// The listing whole, as the walk's own draining reads it (a run of failures
// ends it), each wanted file stat'ed, and the folders the walkers may read.
void WalkAhead::read(AheadFolder& folder, Listing& listing, std::chrono::steady_clock::time_point started) {
  const bool stats = options_.warm_file_stats;
  std::uint64_t run = 0;
  for (;;) {
    if (folder.entries.size() % kStopCheckEvery == 0 && stopped()) return;
    DrainedRead& next = folder.entries.emplace_back();
    next.read = source_.read(listing, next.entry);
    if (folder.entries.size() == 1 && started != std::chrono::steady_clock::time_point{}) note_first_read(started);
    if (next.read == ListingSource::Read::end || next.read == ListingSource::Read::error) break;
    if (next.read == ListingSource::Read::failed_entry) {
      if (++run >= kMaxConsecutiveFailures) break;
      continue;
    }
    run = 0;
    ListingSource::Entry& entry = next.entry;
    if (stats && entry.kind == EntryKind::file && !entry.stat &&
        (!options_.stats_for || options_.stats_for(entry.raw_name))) {
      Result<EntryStat> got = source_.stat(listing, entry);
      if (got.ok()) {
        entry.stat = got.value();
      } else {
        next.stat_failed = true;
      }
    }
  }
  const std::size_t depth = folder.key.size() + 1;  // of its entries
  if (depth >= options_.max_depth || folder.key.size() >= kMaxDepth) return;
  for (std::size_t i = 0; i < folder.entries.size(); ++i) {
    const DrainedRead& read = folder.entries[i];
    if (read.read != ListingSource::Read::entry || read.entry.kind != EntryKind::directory) continue;
    std::string relative = folder.relative;
    if (!relative.empty()) relative += kPathSeparator;
    relative += read.entry.raw_name;
    if (relative.size() > kMaxRelative) continue;
    std::string shown = join_path(folder.shown, read.entry.name);
    if (options_.scope && !options_.scope(shown, depth)) continue;
    AheadChild& child = folder.children.emplace_back();
    child.index = static_cast<std::uint32_t>(i);
    child.relative = std::move(relative);
    child.shown = std::move(shown);
    child.facts.kind = EntryKind::directory;
    child.facts.device = read.entry.device;
    child.facts.inode = read.entry.inode;
    child.facts.owner = read.entry.owner;
    child.facts.data_not_local = read.entry.data_not_local;
  }
}

std::shared_ptr<AheadFolder> WalkAhead::take_locked(AheadFolder& parent, AheadChild& child) {
  auto folder = std::make_shared<AheadFolder>();
  folder->key = parent.key;
  folder->key.push_back(child.index);
  folder->relative = std::move(child.relative);
  folder->shown = std::move(child.shown);
  folder->facts = child.facts;
  child.folder = folder;
  child.closed = true;
  advance_locked(parent);
  return folder;
}

// Moves `folder` to its next open child, and puts it back in the queue (in
// its new place) while it has one.
void WalkAhead::advance_locked(AheadFolder& folder) {
  if (folder.queued) {
    queue_.erase(&folder);
    folder.queued = false;
  }
  while (folder.next_child < folder.children.size() && folder.children[folder.next_child].closed) ++folder.next_child;
  if (folder.next_child < folder.children.size() && folder.state == AheadFolder::State::done) {
    queue_.insert(&folder);
    folder.queued = true;
    work_.notify_one();
  }
}

void WalkAhead::finish_locked(AheadFolder& folder) {
  if (folder.state == AheadFolder::State::dropped) {
    folder.entries = {};
    folder.children = {};
    return;
  }
  folder.state = AheadFolder::State::done;
  ahead_ += folder.entries.size();
  advance_locked(folder);
}

// A folder the walk will never enter, and everything read below it. One
// still being read is only marked: its reader lets it go.
void WalkAhead::drop_locked(AheadFolder& folder) {
  const AheadFolder::State was = folder.state;
  folder.state = AheadFolder::State::dropped;
  if (was != AheadFolder::State::done) return;
  if (folder.queued) queue_.erase(&folder);
  folder.queued = false;
  ahead_ -= folder.entries.size();
  folder.entries = {};
  for (AheadChild& child : folder.children) {
    if (child.folder != nullptr) drop_locked(*child.folder);
  }
  folder.children = {};
  folder.next_child = 0;
  work_.notify_all();  // room ahead again
}

std::shared_ptr<AheadFolder> WalkAhead::enter(AheadFolder& parent, AheadChild& child) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::shared_ptr<AheadFolder> folder = child.folder;
  bool here = folder == nullptr;
  if (here) folder = take_locked(parent, child);
  for (;;) {
    if (folder->state == AheadFolder::State::failed) {
      // A walker gave up on it: read here, where a failure is the walk's.
      folder->state = AheadFolder::State::reading;
      folder->entries = {};
      folder->children = {};
      here = true;
    }
    if (here) {
      lock.unlock();
      read_folder(*folder);
      lock.lock();
      finish_locked(*folder);
      here = false;
    }
    if (folder->state == AheadFolder::State::done) break;
    if (!queue_.empty() && ahead_ < kMaxAhead) {
      // While a walker reads it, the walk reads the next folder no walker
      // has taken: it would only wait otherwise.
      AheadFolder& next_parent = **queue_.begin();
      std::shared_ptr<AheadFolder> other = take_locked(next_parent, next_parent.children[next_parent.next_child]);
      lock.unlock();
      read_folder(*other);
      lock.lock();
      finish_locked(*other);
    } else {
      waiting_ = true;
      read_.wait_for(lock, std::chrono::milliseconds(20));
      waiting_ = false;
    }
    if (stopped()) return nullptr;
  }
  if (stopped()) return nullptr;
  child.folder.reset();  // the walk's level holds it now
  ahead_ -= folder->entries.size();
  work_.notify_all();
  return folder;
}

void WalkAhead::pass(AheadFolder& parent, AheadChild& child) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (child.folder != nullptr) drop_locked(*child.folder);
  child.folder.reset();
  child.closed = true;
  advance_locked(parent);
}

void WalkAhead::leave(AheadFolder& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (AheadChild& child : folder.children) {
    if (child.folder != nullptr) drop_locked(*child.folder);
    child.folder.reset();
    child.closed = true;
  }
  advance_locked(folder);
}

}  // namespace corvane::platform
