// The POSIX listing: openat and getdents64 (readdir off Linux) relative to the parent's
// handle, the entry type from the listing, and one stat per entry only where
// the type or a size is needed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/dir_walk.h"
#include "platform/long_path_posix.h"
#include "platform/path.h"
#include "platform/text.h"

#if defined(__linux__)
#include <sys/syscall.h>
#if defined(STATX_ATTR_MOUNT_ROOT)
#define CORVANE_HAVE_STATX 1
#endif
#endif

namespace corvane::platform {

namespace {

// Listings kept open at once; deeper ancestors are drained into memory and
// their handles closed, so neither the descriptor table nor readdir buffers
// grow with depth.
constexpr std::size_t kMaxOpenListings = 48;

#ifndef O_NOATIME
constexpr int O_NOATIME = 0;
#endif

bool is_dot_name(const char* n) { return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')); }

// The names of one open directory, read in batches. The handle stays the
// caller's.
class EntryStream {
 public:
  explicit EntryStream(int fd);
  ~EntryStream();
  EntryStream(const EntryStream&) = delete;
  EntryStream& operator=(const EntryStream&) = delete;
  bool ok() const;
  // The next name other than "." and ".." with its d_type; null at the end,
  // with `failed` set when the listing could not be read.
  const char* next(unsigned char& type, bool& failed);

 private:
#if defined(__linux__)
  // getdents64 straight into our buffer: fdopendir would add an fstat and
  // two fcntl calls for every directory.
  struct Record {
    std::uint64_t ino;
    std::int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
  };
  static constexpr std::size_t kBufferSize = 32 * 1024;
  int fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t at_ = 0, filled_ = 0;
#else
  DIR* dir_;
#endif
};

#if defined(__linux__)
EntryStream::EntryStream(int fd) : fd_(fd), buffer_(new char[kBufferSize]) {}
EntryStream::~EntryStream() = default;
bool EntryStream::ok() const { return true; }
const char* EntryStream::next(unsigned char& type, bool& failed) {
  for (;;) {
    if (at_ >= filled_) {
      long got = syscall(SYS_getdents64, fd_, buffer_.get(), kBufferSize);
      if (got <= 0) {
        failed = got < 0;
        return nullptr;
      }
      filled_ = static_cast<std::size_t>(got);
      at_ = 0;
    }
    auto* record = reinterpret_cast<Record*>(buffer_.get() + at_);
    at_ += record->reclen;
    if (is_dot_name(record->name)) continue;
    type = record->type;
    return record->name;
  }
}
#else
EntryStream::EntryStream(int fd) : dir_(nullptr) {
  int own = dup(fd);
  if (own >= 0 && (dir_ = fdopendir(own)) == nullptr) ::close(own);
}
EntryStream::~EntryStream() {
  if (dir_ != nullptr) closedir(dir_);
}
bool EntryStream::ok() const { return dir_ != nullptr; }
const char* EntryStream::next(unsigned char& type, bool& failed) {
  for (;;) {
    errno = 0;
    struct dirent* d = readdir(dir_);
    if (d == nullptr) {
      failed = errno != 0;
      return nullptr;
    }
    if (is_dot_name(d->d_name)) continue;
    type = d->d_type;
    return d->d_name;
  }
}
#endif

struct Pending {
  std::string name;
  unsigned char type;
};

struct Frame {
  int fd = -1;
  std::unique_ptr<EntryStream> stream;  // null once drained
  dev_t dev = 0;
  ino_t ino = 0;
  bool lost = false;  // could not be reopened: the rest of it is unreadable
  std::vector<Pending> drained;
  std::size_t next_drained = 0;
  bool is_drained = false;
  // The entry last read.
  std::string name;
  bool have_stat = false;
  EntryStat stat;
  dev_t entry_dev = 0;
  ino_t entry_ino = 0;
};

EntryStat entry_stat_from(const struct stat& st) {
#if defined(__APPLE__)
  return EntryStat{static_cast<std::uint64_t>(st.st_size),
                   filetime_from_unix(st.st_mtimespec.tv_sec, st.st_mtimespec.tv_nsec),
                   filetime_from_unix(st.st_atimespec.tv_sec, st.st_atimespec.tv_nsec)};
#else
  return EntryStat{static_cast<std::uint64_t>(st.st_size), filetime_from_unix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec),
                   filetime_from_unix(st.st_atim.tv_sec, st.st_atim.tv_nsec)};
#endif
}

class PosixListing final : public ListingSource {
 public:
  ~PosixListing() override {
    while (!frames_.empty()) close();
  }

  Status open_root(std::string_view root) override {
    // The root may itself be a link to a directory: that one is followed.
    Result<std::string> text = c_path(root);
    if (!text.ok()) return text.failure();
    int fd = open_directory(AT_FDCWD, text->c_str(), 0);
    if (fd < 0) return last_os_error();
    struct stat st;
    if (fstat(fd, &st) != 0) {
      Error failed = last_os_error();
      ::close(fd);
      return failed;
    }
    return push(fd, st.st_dev, st.st_ino);
  }

  Status open_child() override {
    Frame& parent = frames_.back();
    int fd = open_directory(parent.fd, parent.name.c_str(), O_NOFOLLOW);
    if (fd < 0) return last_os_error();
    return push(fd, parent.entry_dev, parent.entry_ino);
  }

  Read read(Entry& out) override {
    Frame& top = frames_.back();
    if (top.lost) return Read::error;
    unsigned char type;
    if (top.is_drained) {
      if (top.next_drained == top.drained.size()) return Read::end;
      Pending& p = top.drained[top.next_drained++];
      top.name = std::move(p.name);
      type = p.type;
    } else {
      bool failed = false;
      const char* name = top.stream->next(type, failed);
      if (name == nullptr) return failed ? Read::error : Read::end;
      top.name = name;
    }
    top.have_stat = false;
    if (!classify(top, type, out.kind)) return Read::failed_entry;
    out.name = lossy_utf8(top.name);
    out.raw_name = top.name;
    return Read::entry;
  }

  Result<EntryStat> stat() override {
    Frame& top = frames_.back();
    if (top.have_stat) return top.stat;
    struct stat st;
    if (fstatat(top.fd, top.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return make_error(last_os_error_text());
    top.stat = entry_stat_from(st);
    top.have_stat = true;
    return top.stat;
  }

  void close() override {
    Frame& top = frames_.back();
    if (frames_.size() >= 2) {
      Frame& parent = frames_[frames_.size() - 2];
      if (parent.fd < 0 && !parent.lost) reopen_parent(top, parent);
    }
    release(top);
    frames_.pop_back();
  }

 private:
  int open_directory(int at, const char* name, int extra) {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | extra;
    // Reading a directory must not update its access time where the kernel
    // lets us ask; it only lets the owner (or a privileged process) ask.
    if (noatime_) {
      int fd = openat(at, name, flags | O_NOATIME);
      if (fd >= 0 || errno != EPERM) return fd;
      noatime_ = false;
    }
    return openat(at, name, flags);
  }

  Status push(int fd, dev_t dev, ino_t ino) {
    auto stream = std::make_unique<EntryStream>(fd);
    if (!stream->ok()) {
      Error failed = last_os_error();
      ::close(fd);
      return failed;
    }
    Frame& f = frames_.emplace_back();
    f.fd = fd;
    f.stream = std::move(stream);
    f.dev = dev;
    f.ino = ino;
    if (++open_ > kMaxOpenListings) suspend(frames_[frames_.size() - open_]);
    return ok_status();
  }

  // Keeps the unread names of an outer listing and lets its handle go; the
  // handle comes back through ".." of its child when the walk returns to it.
  void suspend(Frame& f) {
    if (!f.is_drained) {
      unsigned char type;
      bool failed = false;
      while (const char* name = f.stream->next(type, failed)) f.drained.push_back(Pending{name, type});
      f.is_drained = true;
    }
    release(f);
  }

  void release(Frame& f) {
    f.stream.reset();
    if (f.fd >= 0) {
      ::close(f.fd);
      --open_;
    }
    f.fd = -1;
  }

  void reopen_parent(const Frame& child, Frame& parent) {
    int fd = openat(child.fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    // Only the very directory that was left may be resumed: if the tree was
    // moved meanwhile, the rest of that listing is given up.
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_dev != parent.dev || st.st_ino != parent.ino) {
      if (fd >= 0) ::close(fd);
      parent.lost = true;
      return;
    }
    parent.fd = fd;
    ++open_;
  }

  // Sets `kind` for the entry just read; false when it cannot be told.
  bool classify(Frame& top, unsigned char type, EntryKind& kind) {
    switch (type) {
      case DT_REG:
        kind = EntryKind::file;
        return true;
      case DT_LNK:
        kind = EntryKind::link;
        return true;
      case DT_FIFO:
      case DT_SOCK:
      case DT_CHR:
      case DT_BLK:
        kind = EntryKind::special;
        return true;
      default:
        // A directory (is it another mount's root?) or a type the file
        // system does not report: one stat on the handle answers both.
        return stat_for_kind(top, kind);
    }
  }

  bool stat_for_kind(Frame& top, EntryKind& kind) {
#ifdef CORVANE_HAVE_STATX
    struct statx sx;
    if (statx(top.fd, top.name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
              STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_ATIME, &sx) != 0) {
      return false;
    }
    top.entry_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    top.entry_ino = sx.stx_ino;
    bool mount_root = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                      (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    kind = kind_from_mode(sx.stx_mode, mount_root || top.entry_dev != top.dev);
    top.stat = EntryStat{sx.stx_size, filetime_from_unix(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec),
                         filetime_from_unix(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec)};
#else
    struct stat st;
    if (fstatat(top.fd, top.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    top.entry_dev = st.st_dev;
    top.entry_ino = st.st_ino;
    kind = kind_from_mode(st.st_mode, st.st_dev != top.dev);
    top.stat = entry_stat_from(st);
#endif
    top.have_stat = true;
    return true;
  }

  std::vector<Frame> frames_;
  std::size_t open_ = 0;
  bool noatime_ = true;
};

}  // namespace

std::unique_ptr<ListingSource> native_listing() { return std::make_unique<PosixListing>(); }

}  // namespace corvane::platform
