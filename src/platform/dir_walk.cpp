#include "platform/dir_walk.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <utility>

#include "platform/dir_walk_ahead.h"
#include "platform/dir_warm.h"
#include "platform/path.h"

namespace corvane::platform {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;

// A walk whose budget had no room for it: walks side by side hand each
// other their reserve with the folder, so this means a caller took more
// than its share.
Error no_handle() { return make_error("no handle left in the call's budget"); }

}  // namespace

std::int64_t filetime_from_unix(std::int64_t seconds, std::int64_t nanoseconds) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  // Normalise so that 0 <= nanoseconds < 1e9; seconds then rounds down.
  seconds += nanoseconds / 1'000'000'000;
  nanoseconds %= 1'000'000'000;
  if (nanoseconds < 0) {
    nanoseconds += 1'000'000'000;
    seconds -= 1;
  }
  if (seconds > kMax / kTicksPerSecond - kSecondsFrom1601To1970 - 1) return kMax;
  if (seconds < kMin / kTicksPerSecond + 1) return kMin;
  return (seconds + kSecondsFrom1601To1970) * kTicksPerSecond + nanoseconds / 100;
}

ListingSource::Opened ListingSource::open_below(Listing&, std::string_view, const Entry&) {
  return make_error("this listing cannot be opened from another thread");
}

namespace {

// A directory whose opening and first read took longer than this was not in
// memory (a cold one takes 50-200 us even on a fast disk, a warm one under
// 25 us). Each such counts two, each fast one takes one off: once more than
// a third of the directories are slow for a while, the disk is worth
// warming ahead of the walk (a busy machine's odd slow read is not).
constexpr std::chrono::microseconds kSlowFirstRead{60};
constexpr std::uint32_t kSlownessToWarm = 8;

std::atomic<int> g_warm_ahead_override{-1};

WarmAhead warm_ahead_for(WarmAhead asked) {
  int forced = g_warm_ahead_override.load(std::memory_order_relaxed);
  if (asked != WarmAhead::when_slow || forced < 0) return asked;
  return static_cast<WarmAhead>(forced);
}

}  // namespace

void set_warm_ahead_override(WarmAhead mode) { g_warm_ahead_override.store(static_cast<int>(mode)); }

EntryKind kind_from_attributes(std::uint32_t attributes, std::uint32_t reparse_tag) {
  constexpr std::uint32_t kDirectory = 0x10;
  constexpr std::uint32_t kReparsePoint = 0x400;
  constexpr std::uint32_t kNameSurrogate = 0x20000000;
  if ((attributes & kReparsePoint) != 0 && (reparse_tag & kNameSurrogate) != 0) return EntryKind::link;
  return (attributes & kDirectory) != 0 ? EntryKind::directory : EntryKind::file;
}

EntryKind kind_from_mode(std::uint32_t mode, bool crosses_mount) {
  // The POSIX file-type bits, spelled out so this compiles everywhere.
  constexpr std::uint32_t kTypeMask = 0170000;
  switch (mode & kTypeMask) {
    case 0100000:
      return EntryKind::file;
    case 0040000:
      return crosses_mount ? EntryKind::link : EntryKind::directory;
    case 0120000:
      return EntryKind::link;
    default:
      return EntryKind::special;
  }
}

DirectoryWalk::DirectoryWalk(std::string root, WalkOptions options, std::unique_ptr<ListingSource> source)
    : source_(std::move(source)),
      options_(options),
      path_(root),
      raw_path_(root),
      root_(std::move(root)),
      warm_ahead_(warm_ahead_for(options.warm_ahead)),
      own_budget_(options.handles == nullptr ? std::make_unique<HandleBudget>() : nullptr),
      budget_(options.handles != nullptr ? options.handles : own_budget_.get()),
      max_open_(std::max(kWalkReserve, options.max_open_listings)) {}

DirectoryWalk::~DirectoryWalk() {
  stop_warming();  // its threads use the source
  ahead_.reset();  // so do the walkers'
  while (!levels_.empty()) levels_.pop_back();
  budget_->give_back(owned_);
}

void DirectoryWalk::start_warming() {
  warm_tried_ = true;
  constexpr std::size_t kWarmers = DirectoryWarmer::kHandles;
  if (max_open_ < kWarmers + kWalkReserve) return;
  // The warmers' handles come out of the walk's share first: the walk lets
  // go of its oldest listings, as it does when it goes deeper.
  const std::size_t walkers = ahead_ != nullptr ? ahead_->handles() : 0;
  while (owned_ + walkers + kWarmers > max_open_ || !budget_->try_take(kWarmers)) {
    if (owned_ <= kWalkReserve) return;
    if (held_ + fixed_ == owned_) release_oldest();
    budget_->give_back(1);
    --owned_;
  }
  warmer_handles_ = kWarmers;
  try {
    warmer_ = std::make_unique<DirectoryWarmer>(*source_, root_, options_.max_depth, options_.warm_file_stats,
                                                options_.scope);
    if (!warmer_->start()) stop_warming();
  } catch (const std::bad_alloc&) {
    stop_warming();
  }
  tell_warmer();
}

void DirectoryWalk::stop_warming() {
  warmer_.reset();
  budget_->give_back(warmer_handles_);
  warmer_handles_ = 0;
}

// The walk's place, as the warmers name directories: for each level, the
// ordinal of the entry it was entered through.
void DirectoryWalk::tell_warmer() {
  if (warmer_ == nullptr || levels_.size() > DirectoryWarmer::kMaxDepth + 1) return;
  key_.clear();
  for (std::size_t i = 0; i + 1 < levels_.size(); ++i) key_.push_back(levels_[i].reads - 1);
  warmer_->walked_into(key_);
}

void DirectoryWalk::note_first_read(Level& level) {
  level.timing = false;
  if (std::chrono::steady_clock::now() - level.opened_at < kSlowFirstRead) {
    if (slowness_ > 0) --slowness_;
    return;
  }
  slowness_ += 2;
  if (slowness_ >= kSlownessToWarm) start_warming();
}

std::string_view DirectoryWalk::name() const { return std::string_view(path_).substr(name_offset_); }
std::string_view DirectoryWalk::raw_name() const { return std::string_view(raw_path_).substr(raw_name_offset_); }

Result<EntryStat> DirectoryWalk::stat() {
  Level& top = levels_.back();
  if (top.ahead == nullptr) {
    Result<EntryStat> got = source_->stat(*top.listing, entry_);
    if (got.ok()) entry_.stat = got.value();
    return got;
  }
  if (entry_.stat) return *entry_.stat;
  if (stat_failed_) return make_error("its size and times could not be read");
  // One the walkers were not asked for: its folder is opened again for it.
  ListingSource::Opened again = source_->open_below(ahead_->base(), top.ahead->relative, top.ahead->facts);
  if (!again.ok()) return again.failure();
  Result<EntryStat> got = source_->stat(*again.value(), entry_);
  if (got.ok()) entry_.stat = got.value();
  return got;
}

void DirectoryWalk::abandon(std::size_t level) {
  for (std::size_t i = level; i < levels_.size(); ++i) levels_[i].abandoned = true;
  descend_ = false;
}

void DirectoryWalk::set_entry_path() {
  const Level& top = levels_.back();
  path_.resize(top.path_length);
  if (join_needs_separator(path_)) path_ += kPathSeparator;
  name_offset_ = path_.size();
  path_ += entry_.name;
  raw_path_.resize(top.raw_path_length);
  if (join_needs_separator(raw_path_)) raw_path_ += kPathSeparator;
  raw_name_offset_ = raw_path_.size();
  raw_path_ += entry_.raw_name;
}

// Handles held open are always the innermost `held_` levels, each one of
// the `owned_` the walk took from the budget.
void DirectoryWalk::push(Level level) {
  levels_.push_back(std::move(level));
  ++held_;
}

void DirectoryWalk::release_oldest() { release(levels_[levels_.size() - held_]); }

// Makes room for one more listing: a handle the walk holds spare, one more
// from the budget within its share, or else the oldest held listing's. Never
// the innermost's, which the new one opens from, so false only when that is
// all the walk holds and nothing more can be had.
bool DirectoryWalk::room_for_one() {
  if (held_ + fixed_ < owned_) return true;
  const std::size_t walkers = ahead_ != nullptr ? ahead_->handles() : 0;
  if (owned_ + warmer_handles_ + walkers < max_open_ && budget_->try_take(1)) {
    ++owned_;
    return true;
  }
  if (held_ < 2) return false;
  release_oldest();
  return true;
}

// What the walk no longer holds goes back to the budget, for walks side by
// side; the reserve stays.
void DirectoryWalk::give_back_spare() {
  std::size_t keep = std::max(kWalkReserve, held_) + fixed_;
  if (owned_ <= keep) return;
  budget_->give_back(owned_ - keep);
  owned_ = keep;
}

void DirectoryWalk::release(Level& level) {
  if (!level.is_drained) {
    // A run of failures that would abandon the listing ends it here too, so
    // a listing that fails forever cannot fill memory.
    std::uint64_t run = level.failure_run;
    for (;;) {
      Drained& next = level.drained.emplace_back();
      next.read = source_->read(*level.listing, next.entry);
      if (next.read == ListingSource::Read::end || next.read == ListingSource::Read::error) break;
      run = next.read == ListingSource::Read::failed_entry ? run + 1 : 0;
      if (run >= kMaxConsecutiveFailures) break;
    }
    level.is_drained = true;
  }
  source_->release(*level.listing);
  level.released = true;
  --held_;
}

ListingSource::Read DirectoryWalk::read(Level& level) {
  stat_failed_ = false;
  if (!level.is_drained) {
    entry_.clear_facts();
    ListingSource::Read read = source_->read(*level.listing, entry_);
    if (level.timing) note_first_read(level);
    return read;
  }
  // What was drained ends in the read that ends the listing, so the walk
  // asks past it only when a stop cut the reading short.
  if (level.lost || level.next_drained == level.drained.size()) return ListingSource::Read::error;
  Drained& next = level.drained[level.next_drained++];
  entry_ = std::move(next.entry);
  stat_failed_ = next.stat_failed;
  return next.read;
}

// Descends into the directory entry just delivered. False when it could not
// be opened (then its end event, if wanted, is already set up) or when the
// walk's stop was asked while it waited for a walker.
bool DirectoryWalk::enter_child() {
  if (levels_.back().ahead != nullptr) return enter_ahead();
  bool timing = warm_ahead_ == WarmAhead::when_slow && !warm_tried_;
  auto opened_at = timing ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
  ListingSource::Opened child =
      room_for_one() ? source_->open_child(*levels_.back().listing, entry_) : ListingSource::Opened(no_handle());
  if (child.ok()) {
    push(Level{.listing = std::move(child).value(),
               .path_length = path_.size(),
               .name_offset = name_offset_,
               .raw_path_length = raw_path_.size(),
               .raw_name_offset = raw_name_offset_,
               .summary = ListingSummary{true, false, 0, 0},
               .timing = timing,
               .opened_at = opened_at});
    tell_warmer();
    return true;
  }
  event_ = Event::directory_end;
  ended_ = ListingSummary{};
  ended_.denied = child.error_code() == ErrorCode::permission_denied;
  return false;
}

// Where a raw path's part below the root starts.
std::size_t DirectoryWalk::relative_start() const {
  return root_.size() + (join_needs_separator(root_) ? 1 : 0);
}

// Enters a folder of a level the walkers read: the walkers' reading of it,
// or, for one they were not to read (outside their scope, too deep, or too
// long a path), the folder opened below the root and walked from there as
// a walk on its own walks.
bool DirectoryWalk::enter_ahead() {
  AheadFolder& parent = *levels_.back().ahead;
  if (AheadChild* child = std::exchange(child_, nullptr)) {
    std::shared_ptr<AheadFolder> folder = ahead_->enter(parent, *child);
    if (folder == nullptr) return false;
    if (push_ahead(std::move(folder))) return true;
  } else {
    ListingSource::Opened opened =
        room_for_one()
            ? source_->open_below(ahead_->base(), std::string_view(raw_path_).substr(relative_start()), entry_)
            : ListingSource::Opened(no_handle());
    if (opened.ok()) {
      push(Level{.listing = std::move(opened).value(),
                 .path_length = path_.size(),
                 .name_offset = name_offset_,
                 .raw_path_length = raw_path_.size(),
                 .raw_name_offset = raw_name_offset_,
                 .summary = ListingSummary{true, false, 0, 0}});
      tell_warmer();
      return true;
    }
    ended_ = ListingSummary{};
    ended_.denied = opened.error_code() == ErrorCode::permission_denied;
  }
  event_ = Event::directory_end;
  return false;
}

// Makes a level of a folder the walkers read; false (with its summary in
// ended_) when it could not be opened.
bool DirectoryWalk::push_ahead(std::shared_ptr<AheadFolder> folder) {
  if (!folder->opened) {
    ended_ = ListingSummary{};
    ended_.denied = folder->denied;
    return false;
  }
  std::vector<Drained> entries = std::move(folder->entries);
  levels_.push_back(Level{.path_length = path_.size(),
                          .name_offset = name_offset_,
                          .raw_path_length = raw_path_.size(),
                          .raw_name_offset = raw_name_offset_,
                          .summary = ListingSummary{true, false, 0, 0},
                          .is_drained = true,
                          .drained = std::move(entries),
                          .ahead = std::move(folder)});
  tell_warmer();
  return true;
}

// The current entry is a folder the walkers may read, and the walk does not
// enter it.
void DirectoryWalk::leave_current_child() {
  if (AheadChild* child = std::exchange(child_, nullptr)) ahead_->pass(*levels_.back().ahead, *child);
}

// Ends the innermost listing; true when an end event is to be delivered.
bool DirectoryWalk::finish_top() {
  Level& top = levels_.back();
  if (levels_.size() >= 2) {
    // The parent gets its handle back while the child still holds one; a
    // child that was lost itself holds none, and its parent is lost too.
    Level& parent = levels_[levels_.size() - 2];
    if (parent.released && !parent.lost) {
      if (!top.released && room_for_one() && source_->resume(*parent.listing, *top.listing)) {
        parent.released = false;
        ++held_;
      } else {
        parent.lost = true;
      }
    }
  }
  if (!top.released && top.ahead == nullptr) --held_;
  if (top.ahead != nullptr) ahead_->leave(*top.ahead);
  std::size_t path_length = top.path_length, name_offset = top.name_offset;
  std::size_t raw_path_length = top.raw_path_length, raw_name_offset = top.raw_name_offset;
  ListingSummary summary = top.summary;
  levels_.pop_back();
  give_back_spare();
  if (!options_.report_directory_ends) return false;
  path_.resize(path_length);
  name_offset_ = name_offset;
  raw_path_.resize(raw_path_length);
  raw_name_offset_ = raw_name_offset;
  depth_ = levels_.size();
  event_ = Event::directory_end;
  kind_ = EntryKind::directory;
  ended_ = summary;
  return true;
}

namespace {

std::atomic<std::int64_t> g_entry_pause_us{0};

void pause_after_entry() {
  std::int64_t pause = g_entry_pause_us.load(std::memory_order_relaxed);
  if (pause <= 0) return;
  // Spinning rather than sleeping, so that the walk looks as busy as a
  // long one does.
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(pause);
  while (std::chrono::steady_clock::now() < until) {
  }
}

}  // namespace

void set_entry_pause(std::chrono::microseconds pause) { g_entry_pause_us.store(pause.count()); }

bool DirectoryWalk::next() {
  if (options_.hooks.stopped()) {
    stop_warming();
    return false;
  }
  if (!started_) {
    started_ = true;
    bool timing = warm_ahead_ == WarmAhead::when_slow;
    auto opened_at = timing ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    if (budget_->try_take(kWalkReserve)) owned_ = kWalkReserve;
    ListingSource::Opened root = owned_ > 0 ? source_->open_root(root_) : ListingSource::Opened(no_handle());
    if (!root.ok()) {
      if (!options_.report_directory_ends) return false;
      event_ = Event::directory_end;
      kind_ = EntryKind::directory;
      depth_ = 0;
      name_offset_ = path_.size();
      raw_name_offset_ = raw_path_.size();
      ended_ = ListingSummary{};
      ended_.denied = root.error_code() == ErrorCode::permission_denied;
      return true;
    }
    const std::size_t walkers = walkers_for(options_.walkers);
    // With walkers, the root stays open as their base, and the walk keeps
    // two handles besides, to go on as a walk on its own does below what
    // they read (it may find no more in the budget).
    if (walkers > 1 && options_.max_depth > 1 && source_->opens_below() && owned_ + 1 < max_open_ &&
        budget_->try_take(1)) {
      ++owned_;
      ahead_ = std::make_unique<WalkAhead>(*source_, std::move(root).value(), root_, options_);
      fixed_ = 1;
      name_offset_ = path_.size();
      raw_name_offset_ = raw_path_.size();
      push_ahead(ahead_->read_root());
      ahead_->start(std::min(walkers, max_open_ - owned_), *budget_);
    } else {
      push(Level{.listing = std::move(root).value(),
                 .path_length = path_.size(),
                 .name_offset = path_.size(),
                 .raw_path_length = raw_path_.size(),
                 .raw_name_offset = raw_path_.size(),
                 .summary = ListingSummary{true, false, 0, 0},
                 .timing = timing,
                 .opened_at = opened_at});
    }
    if (warm_ahead_ == WarmAhead::always) start_warming();
  } else if (descend_) {
    descend_ = false;
    if (!enter_child()) {
      if (options_.hooks.stopped()) return next();
      if (options_.report_directory_ends) return true;
    }
  } else {
    leave_current_child();
  }
  if (ahead_ != nullptr && !warm_tried_ && warm_ahead_ == WarmAhead::when_slow && ahead_->slow()) {
    // A slow disk rewards more reads in flight. Walkers give them, and
    // unlike warmers the walk uses what they read, so more walkers are
    // started, not warmers.
    warm_tried_ = true;
    const std::size_t held = owned_ + ahead_->handles();
    if (held < max_open_) ahead_->start(std::min(DirectoryWarmer::kThreads, max_open_ - held), *budget_);
  }

  while (!levels_.empty()) {
    Level& top = levels_.back();
    if (top.abandoned) {
      if (finish_top()) return true;
      continue;
    }
    switch (read(top)) {
      case ListingSource::Read::entry:
        ++top.reads;
        top.failure_run = 0;
        ++top.summary.entries;
        kind_ = entry_.kind;
        depth_ = levels_.size();
        event_ = Event::entry;
        set_entry_path();
        descend_ = kind_ == EntryKind::directory && depth_ < options_.max_depth;
        if (top.ahead != nullptr && kind_ == EntryKind::directory) find_child(top);
        options_.hooks.advance();
        pause_after_entry();
        return true;
      case ListingSource::Read::failed_entry:
        ++top.reads;
        ++top.summary.failures;
        if (++top.failure_run >= kMaxConsecutiveFailures) top.abandoned = true;
        continue;
      case ListingSource::Read::error:
        ++top.summary.failures;
        if (finish_top()) return true;
        continue;
      case ListingSource::Read::end:
        top.summary.complete = true;
        if (finish_top()) return true;
        continue;
    }
  }
  stop_warming();
  ahead_.reset();  // no walker outlives the walk
  budget_->give_back(owned_);
  owned_ = 0;
  fixed_ = 0;
  return false;
}

// The current entry's place among the folders the walkers may read.
void DirectoryWalk::find_child(Level& level) {
  std::vector<AheadChild>& children = level.ahead->children;
  const std::uint32_t index = level.reads - 1;
  while (level.next_child < children.size() && children[level.next_child].index < index) ++level.next_child;
  if (level.next_child < children.size() && children[level.next_child].index == index) {
    child_ = &children[level.next_child++];
  }
}

}  // namespace corvane::platform
