#include "modules/find_copies/candidates.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "modules/find_copies/validation.h"
#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/runtime.h"
#include "platform/text.h"

namespace corvane::find_copies {

namespace {

using platform::DirectoryWalk;
using platform::EntryKind;

// A tree for one walker: a search directory, or a folder below it that
// another walker opened and handed over.
struct Subtree {
  std::string raw_path;                         // as the walks spell it
  std::optional<platform::HandedOver> opened;  // none for a search directory
};

// The native listing, remembering whether the last directory that failed to
// open was refused for lack of permission (the walk's end event only says
// that it failed).
class DenialNotingListing final : public platform::ListingSource {
 public:
  explicit DenialNotingListing(std::unique_ptr<platform::ListingSource> inner) : inner_(std::move(inner)) {}

  Result<std::unique_ptr<platform::Listing>> open_root(std::string_view root) override {
    return noted(inner_->open_root(root));
  }
  Result<std::unique_ptr<platform::Listing>> open_child(platform::Listing& parent, const Entry& entry) override {
    return noted(inner_->open_child(parent, entry));
  }
  Read read(platform::Listing& listing, Entry& out) override { return inner_->read(listing, out); }
  Result<platform::EntryStat> stat(platform::Listing& listing, const Entry& entry) override {
    return inner_->stat(listing, entry);
  }
  void release(platform::Listing& listing) override { inner_->release(listing); }
  bool resume(platform::Listing& listing, platform::Listing& child) override { return inner_->resume(listing, child); }
  Result<std::unique_ptr<platform::Listing>> open_below(platform::Listing& base, std::string_view relative,
                                                        const Entry& entry) override {
    return inner_->open_below(base, relative, entry);
  }

  bool last_open_denied() const { return denied_; }

 private:
  Result<std::unique_ptr<platform::Listing>> noted(Result<std::unique_ptr<platform::Listing>> opened) {
    denied_ = !opened.ok() && opened.error_code() == ErrorCode::permission_denied;
    return opened;
  }

  std::unique_ptr<platform::ListingSource> inner_;
  bool denied_ = false;
};

// The walkers of one search directory and the folders they hand each
// other: a walker that meets a folder while another waits for work hands it
// over instead of entering it. Done when no folder is queued or walked.
class Walkers {
 public:
  explicit Walkers(Subtree root) {
    queue_.push_back(std::move(root));
    unfinished_ = 1;
  }

  bool someone_waits() const { return hungry_.load(std::memory_order_relaxed) > 0; }

  void hand_over(Subtree subtree) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(subtree));
      ++unfinished_;
      update_hungry();
    }
    wake_.notify_one();
  }

  // The next tree to walk; none once all are walked or a walker failed.
  std::optional<Subtree> take() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    update_hungry();
    wake_.wait(lock, [this] { return !queue_.empty() || unfinished_ == 0 || failure_; });
    --waiting_;
    std::optional<Subtree> next;
    if (!queue_.empty() && !failure_) {
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    update_hungry();
    return next;
  }

  void finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--unfinished_ == 0) wake_.notify_all();
  }

  void fail(std::exception_ptr failure) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!failure_) failure_ = std::move(failure);
    }
    wake_.notify_all();
  }

  void rethrow_failure() {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  void update_hungry() {
    hungry_.store(static_cast<std::ptrdiff_t>(waiting_) - static_cast<std::ptrdiff_t>(queue_.size()),
                  std::memory_order_relaxed);
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Subtree> queue_;
  std::size_t unfinished_ = 0;  // queued or being walked
  std::size_t waiting_ = 0;
  std::atomic<std::ptrdiff_t> hungry_{0};  // waiting walkers less queued folders
  std::exception_ptr failure_;
};

struct WalkerContext {
  Walkers* walkers;  // null when the search directory is walked alone
  const WalkRootsOptions& options;
  WalkVisitor& visitor;
  std::size_t index;  // this walker's
  platform::WalkOptions walk_options;
  platform::ProgressReporter& reporter;
  std::mutex& reporting;
};

void walk_subtree(Subtree subtree, WalkerContext& context) {
  const WalkRootsOptions& options = context.options;
  auto listing = std::make_unique<DenialNotingListing>(options.listing());
  DenialNotingListing& noted = *listing;
  std::optional<DirectoryWalk> walk_storage;
  if (subtree.opened) {
    walk_storage.emplace(std::move(subtree.raw_path), std::move(*subtree.opened), context.walk_options,
                         std::move(listing));
  } else {
    walk_storage.emplace(std::move(subtree.raw_path), context.walk_options, std::move(listing));
  }
  DirectoryWalk& walk = *walk_storage;

  while (walk.next()) {
    if (walk.event() == DirectoryWalk::Event::directory_end) {
      if (!walk.summary().opened && noted.last_open_denied()) {
        std::lock_guard<std::mutex> lock(context.reporting);
        context.reporter.report(platform::ProgressEvent{
            std::string(options.task_id),
            std::string(platform::kWarningStage) + ":" +
                std::string(copy_error_code(CopyError::search_dir_permission_denied)) + ":" +
                platform::display_path(walk.path()),
            0, 0});
      }
      continue;
    }
    if (walk.kind() == EntryKind::directory && options.recursive && !context.visitor.enters(walk)) {
      walk.skip_directory();
      continue;
    }
    if (walk.kind() == EntryKind::directory && context.walkers != nullptr && context.walkers->someone_waits()) {
      // Opened here as this walk would enter it, so the other walker starts
      // exactly where this one would have gone. One that cannot be opened
      // is entered as usual, which reports why; so is one the call's handle
      // budget has no room for.
      if (std::optional<platform::HandedOver> handed = walk.hand_over_current()) {
        walk.skip_directory();
        context.walkers->hand_over(Subtree{walk.raw_path(), std::move(handed)});
        continue;
      }
    }
    // Links are never taken or followed; on POSIX neither are FIFOs, sockets
    // and devices (opening a FIFO would block). Directories are descended
    // into by the walk itself, down to max_depth.
    if (walk.kind() != EntryKind::file) continue;
    // Reading a file whose data is not on this disk would fetch it.
    if (walk.data_not_local()) continue;
    context.visitor.file(walk, context.index);
  }
}

// One search directory, walked by as many walkers as the machine has
// processors when the search goes below its own entries. Kernel-bound
// listing and stat calls are what a walk spends its time on, and they run
// side by side on different folders.
void walk_root(const std::string& root, const WalkRootsOptions& options, WalkVisitor& visitor,
               const platform::TaskHooks& hooks, platform::HandleBudget& handles,
               platform::ProgressReporter& reporter) {
  std::mutex reporting;
  WalkerContext alone{nullptr, options, visitor, 0, {}, reporter, reporting};
  alone.walk_options.report_directory_ends = true;
  alone.walk_options.hooks = hooks;
  alone.walk_options.handles = &handles;
  if (!options.recursive) alone.walk_options.max_depth = 1;

  runtime::ParallelPool& pool = options.pool != nullptr ? *options.pool : runtime::parallel_pool();
  const std::size_t count = pool.worker_count();
  if (!options.recursive || count < 2) {
    visitor.walkers(1);
    walk_subtree(Subtree{root, std::nullopt}, alone);
    return;
  }

  Walkers walkers(Subtree{root, std::nullopt});
  WalkerContext shared = alone;
  shared.walkers = &walkers;
  // The walkers and the folders waiting between them take their handles
  // from the call's one budget, each walker at most a fair share of it so
  // that folders can still be handed over; and they are reads in flight
  // enough without warming threads. Beyond half the budget's worth of
  // walkers, the rest wait for a folder with handles to spare.
  shared.walk_options.max_open_listings = handles.limit() / count;
  shared.walk_options.warm_ahead = platform::WarmAhead::off;
  visitor.walkers(count);
  pool.for_each_index(count, [&](std::size_t i) {
    try {
      WalkerContext context = shared;
      context.index = i;
      while (std::optional<Subtree> subtree = walkers.take()) {
        walk_subtree(std::move(*subtree), context);
        walkers.finished();
      }
    } catch (...) {
      walkers.fail(std::current_exception());
    }
  });
  walkers.rethrow_failure();
}

// The copy finder's files: those with the seed's extension key, less the
// seed, one list per walker.
class CandidateVisitor final : public WalkVisitor {
 public:
  explicit CandidateVisitor(const CollectOptions& options) : options_(options) {}

  void walkers(std::size_t count) override {
    if (found_.size() < count) found_.resize(count);
  }

  void file(DirectoryWalk& walk, std::size_t walker) override {
    // Names go by the system's own spelling: the shown text of a name that
    // is not valid UTF-8 (or UTF-16) stands for many names and opens none.
    if (extension_key(walk.raw_name()) != options_.seed_key) return;
    // The walk starts at a canonical root and never passes through a link,
    // so the path it built is already the file's canonical path.
    if (walk.raw_path() == options_.seed_path) return;
    Result<platform::EntryStat> stat = walk.stat();
    if (!stat.ok()) return;
    found_[walker].push_back(Candidate{walk.raw_path(), stat->size, unix_seconds_from_filetime(stat->last_write)});
  }

  std::vector<Candidate> joined() {
    std::vector<Candidate> out;
    for (std::vector<Candidate>& some : found_) {
      out.insert(out.end(), std::make_move_iterator(some.begin()), std::make_move_iterator(some.end()));
    }
    return out;
  }

 private:
  const CollectOptions& options_;
  std::vector<std::vector<Candidate>> found_;
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
  walk_roots(WalkRootsOptions{options.roots, options.recursive, options.task_id, options.pool, options.listing},
             visitor, hooks, reporter);
  // Walkers find candidates in no fixed order; sorted, rows that show the
  // same path (names that are not UTF-8) come out in one order every time.
  std::vector<Candidate> out = visitor.joined();
  std::sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.path < b.path; });
  return out;
}

}  // namespace corvane::find_copies
