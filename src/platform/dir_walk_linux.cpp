// The Linux listing: the portable one with four calls replaced. Names come
// from getdents64 straight into a buffer of our own (fdopendir would add an
// fstat and two fcntl calls for every directory); metadata from statx, which
// never waits on another file system and says whether an entry is a mount
// root, bind mounts of files included (stat_linux.cpp); folders open through
// openat2, which refuses to cross into a mount that appeared after the
// entry was stat'ed, and with O_NOATIME where the kernel grants it.
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

// Whether this process may open files it does not own with O_NOATIME:
// the kernel grants it to the owner and to CAP_FOWNER.
bool may_override_ownership() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return geteuid() == 0;
  return (data[CAP_FOWNER / 32].effective & (1u << (CAP_FOWNER % 32))) != 0;
}

class LinuxListing final : public PortableListing {
 protected:
  int open_directory(int at, const char* name, int flags, std::int64_t owner) override {
    flags |= kDirectoryOpenFlags;
    if (at == AT_FDCWD) {
      // A walk's root, by path (and through a link, if it is one): its owner
      // is asked first, so that the open itself is never wasted.
      EntryFacts facts;
      if (owner < 0 && entry_facts(at, name, true, facts) == 0) owner = facts.owner;
      return quietly(owner, flags, [&](int quiet) { return openat(at, name, quiet); });
    }
    // An entry stat'ed as a directory of this file system: if a mount has
    // covered it since, the open is refused rather than sent to that mount.
    return open_beneath(at, name, flags, owner);
  }

  std::unique_ptr<NameStream> name_stream(int fd) override { return std::make_unique<GetdentsStream>(fd); }

  int stat_entry(int dir, const char* name, EntryFacts& out) override { return entry_facts(dir, name, false, out); }

  // openat2 refuses every link and every mount on the way, so a warming
  // thread can never be led out of the tree, whatever changes under it.
  int open_directory_below(int at, const char* relative, std::int64_t owner) override {
    return open_beneath(at, relative, kDirectoryOpenFlags | O_NOFOLLOW, owner);
  }

 private:
  int open_beneath(int at, const char* relative, int flags, std::int64_t owner) {
    if (openat2_.load(std::memory_order_relaxed)) {
      open_how how{};
      how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
      int fd = quietly(owner, flags, [&](int quiet) {
        how.flags = static_cast<unsigned>(quiet);
        return static_cast<int>(syscall(SYS_openat2, at, relative, &how, sizeof how));
      });
      if (fd >= 0 || errno != ENOSYS) return fd;
      // Kernels before 5.6 (or a filter) lack openat2: the portable way,
      // which refuses only a final link (open_below checks where it ended).
      openat2_.store(false, std::memory_order_relaxed);
    }
    return quietly(owner, flags, [&](int quiet) { return openat(at, relative, quiet); });
  }

  // Reading a folder must not update its access time where the kernel lets
  // us ask, and it lets the folder's owner ask, or a process with
  // CAP_FOWNER. So the owner, known from the statx that told the folder's
  // kind, decides for each folder alone: asked only where it is granted,
  // and never given up for the folders after one that refused. Where the
  // owner is not known, or a capability does not reach this owner (user
  // namespaces), a refusal is answered by opening without it.
  template <typename Open>
  int quietly(std::int64_t owner, int flags, Open open) {
    bool owned = owner >= 0 && owner == static_cast<std::int64_t>(euid_);
    if (owned || owner < 0 || privileged_) {
      int fd = open(flags | O_NOATIME);
      if (fd >= 0 || errno != EPERM) return fd;
    }
    return open(flags);
  }

  const uid_t euid_ = geteuid();
  const bool privileged_ = may_override_ownership();
  std::atomic<bool> openat2_{true};
};

}  // namespace

std::unique_ptr<ListingSource> native_listing() { return std::make_unique<LinuxListing>(); }

}  // namespace corvane::platform
