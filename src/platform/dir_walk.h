// Directory walking: an explicit stack of open directory listings, entries in
// listing order, depth first, links never followed.
//
// Contract (both platforms):
// - Entries "." and ".." never appear. Each entry has a kind: file,
//   directory, link (never followed; POSIX: symbolic links and the roots of
//   other mounts, so a walk stays on the file system it starts on; Windows:
//   reparse points with the name-surrogate tag bit) or special (POSIX FIFOs,
//   sockets and devices: never opened, and never stat'ed beyond what the
//   listing needs; callers decide whether they count as content). A file
//   bind-mounted in place lists as a file whose stat() fails: it is the
//   root of another mount, and is never counted.
// - Never waiting on another file system (Linux): no call a walk makes on
//   an entry asks the file system mounted there, so a mount whose server
//   stopped answering is a link like any other (see platform/stat_posix.h).
// - Silent error policy: a directory that cannot be opened is listed as
//   having no entries (its end event says `opened` false); a listing read
//   error ends that directory's listing; an entry that cannot be classified
//   is skipped and counted in `failures`; after kMaxConsecutiveFailures
//   failures in a row the directory's listing ends. Nothing is thrown.
// - Depth and path length are unbounded on POSIX: every open is relative to
//   the parent's handle (one path component), and at most a few dozen
//   listings are held open; outer ancestors keep only their unread entries.
//   On Windows the walk uses \\?\ paths (limit: 32,767 UTF-16 units).
// - Display paths are text: the root exactly as given, each name joined by
//   the platform separator (none added when the text already ends in one),
//   names converted to UTF-8 lossily. They are never used to open anything:
//   two names can show as the same text. Raw paths are joined the same way
//   from the names as the system gives them (POSIX: their bytes; Windows:
//   WTF-8, see platform/text.h) and open the entry again.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handle_budget.h"
#include "platform/progress.h"
#include "platform/result.h"

namespace corvane::platform {

enum class EntryKind : std::uint8_t { file, directory, link, special };

// Size and times of an entry. Times are FILETIME ticks (100 ns since
// 1601-01-01 UTC) on both platforms, so one conversion serves every caller.
struct EntryStat {
  std::uint64_t size = 0;
  std::int64_t last_write = 0;
  std::int64_t last_access = 0;
  // The space its data takes on the disk: POSIX st_blocks x 512; Windows
  // the allocation size from allocation_listing(), else `size`.
  std::uint64_t allocated = 0;
  // Its hard-link count (POSIX; Windows listings say 1), and which file this
  // is, for telling two paths of one file apart from two files: POSIX st_dev
  // and st_ino, from the same call; Windows, from a path's metadata, the
  // volume serial number and file index. Both 0 when not known (Windows
  // directory listings do not say).
  std::uint32_t links = 1;
  std::uint64_t device = 0;
  std::uint64_t file_id = 0;
};

// FILETIME ticks for a POSIX time (seconds and nanoseconds since 1970),
// saturating at the ends of the 64-bit range.
std::int64_t filetime_from_unix(std::int64_t seconds, std::int64_t nanoseconds);

// The link rule, as data, so it can be checked without the real OS.
// Windows: FILE_ATTRIBUTE_REPARSE_POINT with the name-surrogate tag bit is a
// link, then FILE_ATTRIBUTE_DIRECTORY decides.
EntryKind kind_from_attributes(std::uint32_t attributes, std::uint32_t reparse_tag);
// POSIX: `mode` is st_mode; a directory that sits on another device than its
// parent, or is marked as a mount root, is a link.
EntryKind kind_from_mode(std::uint32_t mode, bool crosses_mount);

// What a walk learned about one directory, given with its end event.
struct ListingSummary {
  bool opened = false;         // the listing could be started
  bool complete = false;       // read to its end (not cut by an error or skip)
  std::uint64_t entries = 0;   // entries delivered, of every kind
  std::uint64_t failures = 0;  // entries skipped as unreadable, and read errors
  bool denied = false;         // not opened because access was refused
};

// The raw listing a walk is driven by. The real one is native_listing();
// tests may drive the walk with a fake. Each directory being listed is a
// Listing of its own, opened relative to its parent's, so that a directory
// can be read whole into memory (kinds, and sizes and times through stat())
// on another thread while the walk is elsewhere. A Listing is used by one
// thread at a time; the native sources hold nothing per directory, and
// their calls on different listings may run at once. The walk owns the
// listings, and takes the handles they hold from the call's HandleBudget:
// when it has no more, the oldest listing is read to its end into memory,
// released, and resumed when the walk comes back to it.
class Listing {
 public:
  virtual ~Listing() = default;  // closes the handle it still holds
};

class ListingSource {
 public:
  enum class Read { entry, failed_entry, end, error };
  struct Entry {
    std::string name;      // UTF-8 (lossy) display name
    std::string raw_name;  // as the system names it: bytes (POSIX), WTF-8 (Windows)
    EntryKind kind = EntryKind::file;
    // Size and times, when the listing has them without a further call
    // (Windows: always; POSIX: for the entries stat'ed to tell their kind).
    std::optional<EntryStat> stat;
    // POSIX: the device and inode of a directory entry, which the listing
    // opened from it answers to; 0 elsewhere.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    // Windows: its data (a folder: its entries) is not on this disk, as for
    // a cloud file's placeholder (platform::data_not_local). Its size
    // stands; reading it would make the provider fetch it, so no tool reads
    // such a file, and the listing refuses to open such a folder. A source
    // that can tell sets it on every entry it reads (the Windows listing);
    // always false on POSIX.
    bool data_not_local = false;
    // POSIX: the user id owning a directory entry, which decides how the
    // listing opens it; -1 when not known.
    std::int64_t owner = -1;

    // Forgets what the last read learned beyond name and kind.
    void clear_facts() {
      stat.reset();
      device = inode = 0;
      owner = -1;
      data_not_local = false;
    }
  };

  // An open listing, or the system's error with its kind (permission_denied
  // when access was refused).
  using Opened = Result<std::unique_ptr<Listing>>;

  virtual ~ListingSource() = default;
  // The listing of `root`. A root that is a link to a directory is followed.
  virtual Opened open_root(std::string_view root) = 0;
  // The directory `entry`, read from `parent`, as a listing.
  virtual Opened open_child(Listing& parent, const Entry& entry) = 0;
  // The next entry. Fields it has no value for are left as the caller set
  // them, so the caller calls clear_facts() first.
  virtual Read read(Listing& listing, Entry& out) = 0;
  // Size and times of `entry`, read from `listing` (its `stat` when set);
  // an error text when unavailable, and for an entry that turns out to be
  // the root of another mount (POSIX: a file can be bind-mounted), whose
  // metadata belongs to that mount and is never counted.
  virtual Result<EntryStat> stat(Listing& listing, const Entry& entry) = 0;
  // Lets go of the handle of a listing already read to its end (or as far
  // as the walk will read it). Until resume(), no call but destruction.
  virtual void release(Listing& listing) = 0;
  // Takes a released listing's handle back, for stat() and open_child() on
  // the entries read before its release. `child` is a listing opened from
  // it and still held: POSIX goes back through its "..", and only to the
  // very directory that was left (same device and inode). False when that
  // fails: the rest of the listing is then lost.
  virtual bool resume(Listing& listing, Listing& child) = 0;
  // For warming the cache from other threads: the directory `relative`
  // (raw names joined by the separator; empty: `base` itself) below `base`,
  // never through a link or into another mount, and only if it is still
  // the directory `entry` was (its device and inode, where known). Calls
  // with the same `base` may run at once. Sources that cannot do it refuse
  // (the default), and their walks are not warmed.
  virtual Opened open_below(Listing& base, std::string_view relative, const Entry& entry);
  // Whether open_below() works, so that other threads can read ahead.
  virtual bool opens_below() const { return false; }
};

// The system's listing: getdents64 and statx on Linux, FindFirstFileExW on
// Windows, portable_listing() on other POSIX systems.
std::unique_ptr<ListingSource> native_listing();
// The system's listing with each file's allocated size in its stat (see
// EntryStat::allocated): the native one on POSIX, whose metadata call gives
// it; on Windows one that reads directory handles with
// GetFileInformationByHandleEx, whose records carry it.
std::unique_ptr<ListingSource> allocation_listing();
// POSIX builds only: the listing made of calls every POSIX system has
// (openat, fdopendir, readdir, fstatat), built and tested on Linux too.
std::unique_ptr<ListingSource> portable_listing();

inline constexpr std::uint64_t kMaxConsecutiveFailures = 64;
// Handles a walk needs to go on at all: the listing it reads, and a second
// for a moment, while a child opens from its parent or a parent is resumed
// through its child.
inline constexpr std::size_t kWalkReserve = 2;

// Whether other threads read ahead of a walk to bring the disk's blocks into
// memory (see platform/dir_warm.h). `when_slow`: once the walk's own reads
// show that the disk is slow, which a warm cache never does.
enum class WarmAhead : std::uint8_t { off, when_slow, always };

// WalkOptions::walkers: as many as pay on this machine (one per processor,
// up to kMaxWalkers).
inline constexpr std::size_t kEveryProcessor = 0;
// More than this many walkers only wait on the walk that takes what they
// read, which is one thread however many read for it.
inline constexpr std::size_t kMaxWalkers = 8;

struct WalkOptions {
  // Deepest entries listed: 1 lists only the root's own entries.
  std::size_t max_depth = std::numeric_limits<std::size_t>::max();
  // Also deliver an end event after each directory's entries (the root's
  // included, last of all).
  bool report_directory_ends = false;
  // Once its stop is requested the walk ends at the next event, with no
  // further end events; every entry it delivers advances the counters.
  TaskHooks hooks = {};
  WarmAhead warm_ahead = WarmAhead::when_slow;
  // The call's handle budget, shared by every walk of the call, their
  // warmers and the folders handed between them; null: the walk has one of
  // its own (kMaxOpenListings). It must outlive the walk.
  HandleBudget* handles = nullptr;
  // The most of the budget this walk takes for itself, warmers included,
  // so that walks side by side each get a share; at least kWalkReserve.
  std::size_t max_open_listings = kMaxOpenListings;
  // The caller stats files: warm their sizes and times too.
  bool warm_file_stats = true;
  // Which folders the scan reads, asked with a directory entry's path (as
  // path() shows it) and depth (1: the root's own entries) before the walk
  // would enter it. The warmers read no folder it refuses, nor anything
  // below one; the walk's caller makes its own decisions through the same
  // test (in_scope()), so that the two can never differ. The walk itself
  // still enters what the caller does not skip. Also called from the
  // warmers' threads while the walk goes on, so it must be safe to call
  // from several threads at once. Empty: every folder.
  std::function<bool(std::string_view path, std::size_t depth)> scope = {};
  // Threads that read the folders in scope ahead of the walk, each folder
  // whole, with its files' sizes and times when `warm_file_stats` (and
  // `stats_for`) asks for them; the walk then takes them in its own order,
  // so every event, and so every result, is the one a walk on its own
  // gives. 1: the walk reads every folder itself; kEveryProcessor: one per
  // processor. Their handles come from the call's budget too. With
  // walkers, a slow disk (`when_slow`) gets two more walkers, not warmers.
  std::size_t walkers = 1;
  // Which files' sizes and times the walkers fetch, by the file's raw name;
  // empty: every file's. stat() still answers for the others, at the cost
  // of opening their folder again.
  std::function<bool(std::string_view raw_name)> stats_for = {};
};

// The walkers a walk asking for `asked` gets on this machine.
std::size_t walkers_for(std::size_t asked);
// A test seam: every walk that asks for more than one walker gets `count`
// instead (0: as asked).
void set_walkers_override(std::size_t count);

// A test seam: every walk spends this long on the CPU after each entry it
// lists, so that a test can make a small tree take seconds to walk and watch
// it stop. Zero (no pause) unless the entry function sets it from the
// CORVANE_TEST_ENTRY_PAUSE_US environment variable.
void set_entry_pause(std::chrono::microseconds pause);
// A test seam: every walk that would warm `when_slow` warms as `mode` says
// instead (CORVANE_TEST_WARM_AHEAD, read by the entry function).
void set_warm_ahead_override(WarmAhead mode);


// Usage:
//   DirectoryWalk walk(root);
//   while (walk.next()) { if (walk.kind() == EntryKind::directory && ...) walk.skip_directory(); }
// After an entry event for a directory, the following next() descends into
// it (unless skipped or at max_depth): its entries come next, then (when
// asked for) its end event, then the parent's following entries.
class DirectoryWarmer;
class WalkAhead;
struct AheadFolder;
struct AheadChild;

// An outcome of reading a listing, kept for later.
struct DrainedRead {
  ListingSource::Read read;
  ListingSource::Entry entry;
  bool stat_failed = false;  // the walkers asked for its stat, and it failed
};

class DirectoryWalk {
 public:
  enum class Event { entry, directory_end };

  explicit DirectoryWalk(std::string root, WalkOptions options = {},
                         std::unique_ptr<ListingSource> source = native_listing());
  ~DirectoryWalk();
  DirectoryWalk(const DirectoryWalk&) = delete;
  DirectoryWalk& operator=(const DirectoryWalk&) = delete;

  // Moves to the next event; false when the walk is over.
  bool next();

  Event event() const { return event_; }
  // The current entry, or for an end event the directory that ended.
  // depth() is 1 for the root's entries and 0 for the root's own end.
  std::size_t depth() const { return depth_; }
  const std::string& path() const { return path_; }
  std::string_view name() const;
  // The same path and name as the system spells them, for opening the
  // entry; not always valid UTF-8.
  const std::string& raw_path() const { return raw_path_; }
  std::string_view raw_name() const;
  EntryKind kind() const { return kind_; }
  // Entry events only: see ListingSource::Entry::data_not_local.
  bool data_not_local() const { return entry_.data_not_local; }
  // Entry events only: size and times, fetched on first request.
  Result<EntryStat> stat();
  // Entry events only: do not descend into this directory.
  void skip_directory() { descend_ = false; }
  // Entry events for a directory only: whether the options' scope takes it.
  bool in_scope() const { return !options_.scope || options_.scope(path_, depth_); }
  // Stops listing the directory at `level` (0 = root) and every directory
  // below it; their end events still follow, marked incomplete.
  void abandon(std::size_t level);
  // End events only.
  const ListingSummary& summary() const { return ended_; }

 private:
  using Drained = DrainedRead;
  struct Level {
    std::unique_ptr<Listing> listing = nullptr;
    std::size_t path_length = 0;  // of this directory's own path text
    std::size_t name_offset = 0;  // where its name starts in that text
    std::size_t raw_path_length = 0;  // the same two for its raw path
    std::size_t raw_name_offset = 0;
    ListingSummary summary = {};
    std::uint64_t failure_run = 0;
    bool abandoned = false;
    // Once the listing was read to its end, its reads come from `drained`.
    bool is_drained = false;
    std::vector<Drained> drained = {};
    std::size_t next_drained = 0;  // the first still to be taken
    bool released = false;  // holds no handle
    bool lost = false;      // could not be resumed: the rest is unreadable
    std::uint32_t reads = 0;  // entries (failed ones too) taken from it so far
    bool timing = false;      // its first read is still to be timed
    std::chrono::steady_clock::time_point opened_at = {};
    // Read whole by the walkers: holds no handle, and is never resumed.
    std::shared_ptr<AheadFolder> ahead = nullptr;
    std::size_t next_child = 0;  // the first of ahead->children not yet met
  };

  void push(Level level);
  void release(Level& level);
  void release_oldest();
  bool room_for_one();
  void give_back_spare();
  void stop_warming();
  ListingSource::Read read(Level& level);
  bool enter_child();
  bool finish_top();
  void set_entry_path();
  void start_warming();
  void note_first_read(Level& level);
  void tell_warmer();
  bool start_parallel();
  bool enter_ahead();
  bool push_ahead(std::shared_ptr<AheadFolder> folder);
  void leave_current_child();
  void find_child(Level& level);
  std::size_t relative_start() const;

  std::unique_ptr<ListingSource> source_;
  WalkOptions options_;
  std::vector<Level> levels_;
  std::size_t held_ = 0;  // levels whose listing holds a handle: the innermost ones
  std::string path_;
  std::size_t name_offset_ = 0;
  std::string raw_path_;
  std::size_t raw_name_offset_ = 0;
  std::size_t depth_ = 0;
  Event event_ = Event::entry;
  EntryKind kind_ = EntryKind::file;
  ListingSummary ended_;
  ListingSource::Entry entry_;
  std::string root_;
  bool started_ = false;
  bool descend_ = false;
  WarmAhead warm_ahead_;
  std::unique_ptr<HandleBudget> own_budget_;  // when the options give none
  HandleBudget* budget_;
  std::size_t max_open_;      // the most this walk takes, warmers included
  std::size_t owned_ = 0;     // taken from the budget for its listings
  std::size_t warmer_handles_ = 0;  // taken for the warmers
  std::uint32_t slowness_ = 0;
  bool warm_tried_ = false;
  std::unique_ptr<DirectoryWarmer> warmer_;
  std::vector<std::uint32_t> key_;  // scratch for tell_warmer()
  std::size_t fixed_ = 0;  // handles owned but held by no level: the walkers' base
  std::unique_ptr<WalkAhead> ahead_;  // the walkers, when there are any
  AheadChild* child_ = nullptr;      // the current entry's, when the walkers may read it
  bool stat_failed_ = false;         // the walkers could not stat the current entry
};

}  // namespace corvane::platform
