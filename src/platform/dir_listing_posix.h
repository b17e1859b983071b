// The POSIX listing, in two variants: the portable one, made of calls every
// POSIX system has (openat, fdopendir, readdir, fstatat), and Linux's, which
// reads names with getdents64 and tells kinds with statx. For the POSIX
// implementation files only.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <memory>

#include "platform/dir_walk.h"
#include "platform/stat_posix.h"

namespace corvane::platform {

// How every directory is opened for listing: never blocking on a FIFO put
// in its place.
inline constexpr int kDirectoryOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

inline bool is_dot_name(const char* n) { return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')); }

// The names in one open directory, read in batches. The handle stays the
// caller's.
class NameStream {
 public:
  virtual ~NameStream() = default;
  // The next name other than "." and ".." with its d_type (DT_UNKNOWN where
  // the file system does not tell); null at the end, with `failed` set when
  // the listing could not be read.
  virtual const char* next(unsigned char& type, bool& failed) = 0;
};

// One directory being listed.
struct PosixDirectory final : Listing {
  ~PosixDirectory() override;
  int fd = -1;                        // -1 once released
  std::unique_ptr<NameStream> names;  // null once released
  // What the directory was when opened: a resumed handle must be that very
  // directory, and an entry on another device is the root of another mount.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t owner = -1;  // its owner's user id; -1 when not known
};

class PortableListing : public ListingSource {
 public:
  Opened open_root(std::string_view root) override;
  Opened open_child(Listing& parent, const Entry& entry) override;
  Read read(Listing& listing, Entry& out) override;
  Result<EntryStat> stat(Listing& listing, const Entry& entry) override;
  void release(Listing& listing) override;
  bool resume(Listing& listing, Listing& child) override;
  Opened open_below(Listing& base, std::string_view relative, const Entry& entry) override;
  bool opens_below() const override { return true; }

 protected:
  // Opens the directory `name` relative to `at` for listing, with `flags`
  // added to the read-only directory flags; `owner` is its owner's user id
  // (-1: not known). -1 with errno set on failure.
  virtual int open_directory(int at, const char* name, int flags, std::int64_t owner);
  // The names of the directory open as `fd`; null, with errno set, when it
  // cannot be read.
  virtual std::unique_ptr<NameStream> name_stream(int fd);
  // The one metadata call of this listing (see stat_posix.h): every stat of
  // an entry, a listing's own handle or a resumed one goes through it.
  virtual int stat_entry(int dir, const char* name, EntryFacts& out);
  // Opens the directory `relative` below `at` for listing, through no link
  // and no other mount where the system can promise it (the portable way
  // only refuses a link as the last name; open_below then checks the
  // device and inode it ends at); -1 with errno set on failure.
  virtual int open_directory_below(int at, const char* relative, std::int64_t owner);

 private:
  // Sets the kind of the entry `name` of `dir` whose listed type does not
  // settle it (a directory, which may be another mount's root, or a type
  // the file system does not report), with its device, inode, owner, size
  // and times. False when it cannot be told.
  bool stat_for_kind(const PosixDirectory& dir, const char* name, Entry& out);
  Opened open_listing(int fd, std::uint64_t device, std::uint64_t inode, std::int64_t owner);
};

}  // namespace corvane::platform
