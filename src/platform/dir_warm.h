// Cache warming for a directory walk on a slow disk: a couple of threads
// list (and stat) the directories the walk will enter next, and throw what
// they read away. The walk still reads every directory itself, in its own
// order, so it never waits on these threads and its results cannot differ;
// it only finds the disk's blocks already in memory. Several reads are in
// flight at once, which is what a cold disk (or a network one) rewards.
//
// Directories are named by their place in the walk: the ordinals of the
// reads that listed them, from the root down. Comparing two such keys as
// sequences gives the walk's own depth-first order, so the warmers always
// take the directory the walk will reach first among those still ahead of
// it, and drop those it has passed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dir_walk.h"

namespace corvane::platform {

using WalkKey = std::vector<std::uint32_t>;

class DirectoryWarmer {
 public:
  // Handles the warmers hold at most: the base, and one listing per thread.
  static constexpr std::size_t kThreads = 2;
  static constexpr std::size_t kHandles = kThreads + 1;
  // Directories known and not yet warmed; past it the farthest are dropped.
  static constexpr std::size_t kMaxPending = 16'384;
  // Of a directory's files, one in this many is stat'ed: file systems read
  // a file's neighbours' metadata with it (ext4 a few hundred inodes, XFS a
  // cluster), so the rest are then in memory at a quarter of the calls,
  // which leaves the warmers time to stay ahead of the walk.
  static constexpr std::uint64_t kStatOneFileIn = 4;
  // Entries (and directories) read ahead of the walk before the warmers
  // wait for it.
  static constexpr std::uint64_t kMaxAhead = 100'000;
  // Directories deeper than this are not warmed (keys and paths grow with
  // depth, and such chains are rare), nor is the walk's place below it told.
  static constexpr std::size_t kMaxDepth = 64;

  // `source` must outlive the warmer and allow calls on different listings
  // at once. `stats`: also fetch each file's size and times. `scope`: the
  // walk's (WalkOptions::scope); a folder it refuses is not read.
  DirectoryWarmer(ListingSource& source, std::string root, std::size_t max_depth, bool stats,
                  std::function<bool(std::string_view, std::size_t)> scope = {});
  ~DirectoryWarmer();  // stops the threads and waits for them
  DirectoryWarmer(const DirectoryWarmer&) = delete;
  DirectoryWarmer& operator=(const DirectoryWarmer&) = delete;

  // Starts the threads, warming from the root. False when the root cannot
  // be opened again or no thread can be started: the walk goes on without.
  bool start();
  // The walk entered the directory `key`. Directories lost to the warmers'
  // limits are found again from here.
  void walked_into(const WalkKey& key);

  // For tests: directories the warmers listed, and the most handles they
  // held at once.
  std::uint64_t warmed_directories() const { return warmed_.load(); }
  std::size_t most_handles() const { return most_handles_.load(); }

 private:
  struct Pending {
    std::string relative;  // raw names below the root, joined by the separator
    ListingSource::Entry entry;
    std::string shown;  // its path as the walk shows it, when there is a scope
  };

  void run();
  bool take(WalkKey& key, Pending& item);
  void warm(const WalkKey& key, const Pending& item);
  void hold_handle();
  void drop_handle();

  ListingSource& source_;
  std::string root_;
  std::size_t max_depth_;
  bool stats_;
  std::function<bool(std::string_view, std::size_t)> scope_;
  std::unique_ptr<Listing> base_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<WalkKey, Pending> pending_;
  WalkKey walk_at_;              // the directory the walk entered last
  bool rescan_ = false;          // something was dropped: find it again
  bool stopping_ = false;
  std::size_t busy_ = 0;         // threads warming a directory now
  std::vector<std::thread> threads_;

  // What was warmed and the walk has not reached: entries plus one, per
  // directory, and their sum.
  std::map<WalkKey, std::uint64_t> ahead_;
  std::uint64_t ahead_total_ = 0;
  std::atomic<bool> stop_{false};  // stopping_, read without the lock
  std::atomic<std::uint64_t> warmed_{0};
  std::atomic<std::size_t> handles_{0};
  std::atomic<std::size_t> most_handles_{0};
};

}  // namespace corvane::platform
