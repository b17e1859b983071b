// The Linux listing: the portable one with three calls replaced. Names come
// from getdents64 straight into a buffer of our own (fdopendir would add an
// fstat and two fcntl calls for every directory), kinds from statx (which
// also says whether a directory is a mount root, bind mounts included), and
// directories open with O_NOATIME where the kernel lets us.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/dir_listing_posix.h"

namespace corvane::platform {

namespace {

class GetdentsStream final : public NameStream {
 public:
  explicit GetdentsStream(int fd) : fd_(fd), buffer_(new char[kBufferSize]) {}

  const char* next(unsigned char& type, bool& failed) override {
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

 private:
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
};

class LinuxListing final : public PortableListing {
 protected:
  int open_directory(int at, const char* name, int flags) override {
    return quietly(flags, [&](int quiet_flags) { return PortableListing::open_directory(at, name, quiet_flags); });
  }

  std::unique_ptr<NameStream> name_stream(int fd) override { return std::make_unique<GetdentsStream>(fd); }

  // openat2 refuses every link and every mount on the way, so a warming
  // thread can never be led out of the tree, whatever changes under it.
  int open_directory_below(int at, const char* relative) override {
    if (!openat2_.load(std::memory_order_relaxed)) return PortableListing::open_directory_below(at, relative);
    open_how how{};
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    int fd = quietly(O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, [&](int flags) {
      how.flags = static_cast<unsigned>(flags);
      return static_cast<int>(syscall(SYS_openat2, at, relative, &how, sizeof how));
    });
    if (fd < 0 && errno == ENOSYS) {
      // Kernels before 5.6 (or a filter) lack openat2: the portable way.
      openat2_.store(false, std::memory_order_relaxed);
      return PortableListing::open_directory_below(at, relative);
    }
    return fd;
  }

  bool stat_for_kind(const PosixDirectory& dir, const char* name, Entry& out) override {
    struct statx sx;
    if (statx(dir.fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
              STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_ATIME, &sx) != 0) {
      return false;
    }
    out.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    out.inode = sx.stx_ino;
    bool mount_root = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                      (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    out.kind = kind_from_mode(sx.stx_mode, mount_root || out.device != dir.device);
    out.stat = EntryStat{sx.stx_size, filetime_from_unix(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec),
                         filetime_from_unix(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec)};
    return true;
  }

 private:
  // Reading a directory must not update its access time where the kernel
  // lets us ask; it only lets the owner (or a privileged process) ask, and
  // once refused we do not ask again during this walk.
  template <typename Open>
  int quietly(int flags, Open open) {
    if (noatime_.load(std::memory_order_relaxed)) {
      int fd = open(flags | O_NOATIME);
      if (fd >= 0 || errno != EPERM) return fd;
      noatime_.store(false, std::memory_order_relaxed);
    }
    return open(flags);
  }

  std::atomic<bool> noatime_{true};
  std::atomic<bool> openat2_{true};
};

}  // namespace

std::unique_ptr<ListingSource> native_listing() { return std::make_unique<LinuxListing>(); }

}  // namespace corvane::platform
