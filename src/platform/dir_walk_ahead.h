// The walkers of a directory walk: threads that read folders whole ahead of
// it, so that the listing and metadata calls, which are what a warm walk
// spends its time on, run on every processor while the walk itself still
// takes every folder in its own order (depth first, listing order) and so
// gives exactly the events of a walk on its own.
//
// A folder is read whole when it is opened, files stat'ed, and then closed:
// a walker holds one handle at a time. Folders are opened below the walk's
// root through open_below(), never through a link or into another mount.
// Walkers take the folder the walk will reach first among those not yet
// read (folders are named by their place in the walk, as the warmers name
// them), and stop once kMaxAhead entries wait for the walk. A folder the
// walk reaches before any walker does is read by the walk itself; one the
// walk will not enter is dropped with everything read below it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/dir_walk.h"
#include "platform/runtime.h"

namespace corvane::platform {

// A folder the walkers may read: where it is and what its parent's listing
// said of it (device, inode, owner; names are not kept).
struct AheadChild {
  std::uint32_t index = 0;  // its ordinal in its parent's listing
  std::string relative;     // raw names below the root
  std::string shown;        // its path as the walk shows it
  ListingSource::Entry facts;
  // Set by the one who takes it: a walker, or the walk itself.
  std::shared_ptr<AheadFolder> folder;
  bool closed = false;  // taken, or never to be read
};

struct AheadFolder {
  enum class State : std::uint8_t { reading, done, failed, dropped };
  std::vector<std::uint32_t> key;  // ordinals from the root, as the warmers name folders
  std::string relative;
  std::string shown;
  ListingSource::Entry facts;
  // Final once `state` is done: what reading it gave.
  bool opened = false;
  bool denied = false;
  std::vector<DrainedRead> entries;
  std::vector<AheadChild> children;  // its folders in scope, in listing order
  // Guarded by the walkers' lock.
  State state = State::reading;
  std::size_t next_child = 0;  // the first child not closed
  bool queued = false;
};

class WalkAhead {
 public:
  // Entries read and not yet taken by the walk, past which walkers wait.
  static constexpr std::size_t kMaxAhead = 16 * 1024;
  // Folders deeper than this, or with longer paths below the root, are left
  // to the walk (it opens them from their parent, as it does on its own).
  static constexpr std::size_t kMaxDepth = 64;
  static constexpr std::size_t kMaxRelative = 2048;

  // `base` is the walk's root, open; `source` allows calls on different
  // listings at once. Both outlive this.
  WalkAhead(ListingSource& source, std::unique_ptr<Listing> base, std::string root, const WalkOptions& options);
  ~WalkAhead();  // stops the walkers and waits for them
  WalkAhead(const WalkAhead&) = delete;
  WalkAhead& operator=(const WalkAhead&) = delete;

  // The root, read whole on the calling thread.
  std::shared_ptr<AheadFolder> read_root();
  // Starts up to `count` more walkers, each with a handle from `budget`;
  // how many there are. None when there is nothing to read ahead.
  std::size_t start(std::size_t count, HandleBudget& budget);
  std::size_t handles() const { return handles_; }

  // The walk enters `child` of `parent`: the folder read for it, waiting
  // for the walker reading it, or read here when no walker took it. Null
  // when the walk's stop was asked meanwhile.
  std::shared_ptr<AheadFolder> enter(AheadFolder& parent, AheadChild& child);
  // The walk will not enter `child`: it is never read, or is dropped.
  void pass(AheadFolder& parent, AheadChild& child);
  // The walk is done with `folder`: children it did not enter are dropped.
  void leave(AheadFolder& folder);

  // The walk's root, for opening what the walkers did not read.
  Listing& base() { return *base_; }
  // Whether the folders read so far were slow to open and read, as a cold
  // disk is (see the warmers).
  bool slow() const { return slowness_.load(std::memory_order_relaxed) >= kSlownessToWarm; }

 private:
  struct NextChildFirst {
    bool operator()(const AheadFolder* a, const AheadFolder* b) const;
  };
  static constexpr std::uint32_t kSlownessToWarm = 8;

  void run();
  void read(AheadFolder& folder, Listing& listing, std::chrono::steady_clock::time_point started);
  void note_first_read(std::chrono::steady_clock::time_point started);
  void read_folder(AheadFolder& folder);
  std::shared_ptr<AheadFolder> take_locked(AheadFolder& parent, AheadChild& child);
  void advance_locked(AheadFolder& folder);
  void drop_locked(AheadFolder& folder);
  void finish_locked(AheadFolder& folder);
  bool stopped() const;

  ListingSource& source_;
  std::unique_ptr<Listing> base_;
  std::string root_;
  const WalkOptions& options_;
  std::mutex mutex_;
  std::condition_variable work_;  // for the walkers
  std::condition_variable read_;  // for the walk
  std::set<AheadFolder*, NextChildFirst> queue_;
  std::size_t ahead_ = 0;  // entries of folders read and not yet entered
  bool stopping_ = false;
  bool waiting_ = false;  // the walk waits for a walker
  std::atomic<bool> stop_{false};
  std::atomic<std::uint32_t> slowness_{0};
  std::vector<runtime::LightThread> threads_;
  HandleBudget* budget_ = nullptr;
  std::size_t handles_ = 0;
};

}  // namespace corvane::platform
