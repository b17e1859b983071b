// The portable POSIX listing: openat relative to the parent's handle,
// readdir through fdopendir, the entry type from the listing, and one
// fstatat per entry only where the type or a size is needed. Linux builds
// on it (dir_walk_linux.cpp); other POSIX systems list with it as it is.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/dir_listing_posix.h"
#include "platform/long_path_posix.h"
#include "platform/path.h"
#include "platform/text.h"

namespace corvane::platform {

namespace {

class ReaddirStream final : public NameStream {
 public:
  // The stream reads through its own duplicate: closedir closes it, and the
  // listing's handle stays usable for openat and fstatat.
  explicit ReaddirStream(DIR* dir) : dir_(dir) {}
  ~ReaddirStream() override { closedir(dir_); }
  ReaddirStream(const ReaddirStream&) = delete;
  ReaddirStream& operator=(const ReaddirStream&) = delete;

  const char* next(unsigned char& type, bool& failed) override {
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

 private:
  DIR* dir_;
};

PosixDirectory& directory(Listing& listing) { return static_cast<PosixDirectory&>(listing); }

}  // namespace

PosixDirectory::~PosixDirectory() {
  names.reset();
  if (fd >= 0) ::close(fd);
}

ListingSource::Opened PortableListing::open_root(std::string_view root) {
  Result<std::string> text = c_path(root);
  if (!text.ok()) return text.failure();
  int fd = open_directory(AT_FDCWD, text->c_str(), 0, -1);
  if (fd < 0) return last_os_error();
  EntryFacts facts;
  if (stat_entry(fd, nullptr, facts) != 0) {
    Error failed = last_os_error();
    ::close(fd);
    return failed;
  }
  return open_listing(fd, facts.device, facts.inode, facts.owner);
}

ListingSource::Opened PortableListing::open_child(Listing& parent, const Entry& entry) {
  int fd = open_directory(directory(parent).fd, entry.raw_name.c_str(), O_NOFOLLOW, entry.owner);
  if (fd < 0) return last_os_error();
  return open_listing(fd, entry.device, entry.inode, entry.owner);
}

ListingSource::Opened PortableListing::open_listing(int fd, std::uint64_t device, std::uint64_t inode,
                                                    std::int64_t owner) {
  auto dir = std::make_unique<PosixDirectory>();
  dir->fd = fd;
  dir->device = device;
  dir->inode = inode;
  dir->owner = owner;
  dir->names = name_stream(fd);
  if (dir->names == nullptr) return last_os_error();
  return std::unique_ptr<Listing>(std::move(dir));
}

int PortableListing::open_directory(int at, const char* name, int flags, std::int64_t) {
  return openat(at, name, kDirectoryOpenFlags | flags);
}

std::unique_ptr<NameStream> PortableListing::name_stream(int fd) {
  int own = dup(fd);
  if (own < 0) return nullptr;
  DIR* dir = fdopendir(own);
  if (dir == nullptr) {
    int failed = errno;
    ::close(own);
    errno = failed;
    return nullptr;
  }
  return std::make_unique<ReaddirStream>(dir);
}

int PortableListing::stat_entry(int dir, const char* name, EntryFacts& out) {
  return portable_entry_facts(dir, name, false, out);
}

ListingSource::Read PortableListing::read(Listing& listing, Entry& out) {
  PosixDirectory& dir = directory(listing);
  unsigned char type = DT_UNKNOWN;
  bool failed = false;
  const char* name = dir.names->next(type, failed);
  if (name == nullptr) return failed ? Read::error : Read::end;
  out.raw_name = name;
  switch (type) {
    case DT_REG:
      // A file bind-mounted here shows as one too: its stat() says so.
      out.kind = EntryKind::file;
      break;
    case DT_LNK:
      out.kind = EntryKind::link;
      break;
    case DT_FIFO:
    case DT_SOCK:
    case DT_CHR:
    case DT_BLK:
      out.kind = EntryKind::special;
      break;
    default:
      if (!stat_for_kind(dir, name, out)) return Read::failed_entry;
  }
  out.name = lossy_utf8(out.raw_name);
  return Read::entry;
}

bool PortableListing::stat_for_kind(const PosixDirectory& dir, const char* name, Entry& out) {
  EntryFacts facts;
  if (stat_entry(dir.fd, name, facts) != 0) return false;
  out.device = facts.device;
  out.inode = facts.inode;
  out.owner = facts.owner;
  // Any mount root is a link, a bind-mounted file too: its metadata is the
  // other file system's, and no walk enters or counts it.
  out.kind = facts.mount_root ? EntryKind::link : kind_from_mode(facts.mode, out.device != dir.device);
  out.stat = facts.stat;
  return true;
}

Result<EntryStat> PortableListing::stat(Listing& listing, const Entry& entry) {
  if (entry.stat) return *entry.stat;
  EntryFacts facts;
  if (stat_entry(directory(listing).fd, entry.raw_name.c_str(), facts) != 0) return make_error(last_os_error_text());
  if (facts.mount_root) return make_error("the root of another mount");
  return facts.stat;
}

void PortableListing::release(Listing& listing) {
  PosixDirectory& dir = directory(listing);
  dir.names.reset();
  if (dir.fd >= 0) ::close(dir.fd);
  dir.fd = -1;
}

bool PortableListing::resume(Listing& listing, Listing& child) {
  PosixDirectory& dir = directory(listing);
  // Reopened only to stat and open entries by name, never read, so the
  // open leaves the access time alone without asking.
  int fd = openat(directory(child).fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EntryFacts facts;
  // If the tree was moved meanwhile, ".." is another directory now.
  if (fd < 0 || stat_entry(fd, nullptr, facts) != 0 || facts.device != dir.device || facts.inode != dir.inode) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  dir.fd = fd;
  return true;
}

ListingSource::Opened PortableListing::open_below(Listing& base, std::string_view relative, const Entry& entry) {
  std::string text = relative.empty() ? std::string(".") : std::string(relative);
  PosixDirectory& from = directory(base);
  int fd = open_directory_below(from.fd, text.c_str(), relative.empty() ? from.owner : entry.owner);
  if (fd < 0) return last_os_error();
  EntryFacts facts;
  bool same = stat_entry(fd, nullptr, facts) == 0;
  if (same && entry.inode != 0) same = facts.device == entry.device && facts.inode == entry.inode;
  if (!same) {
    ::close(fd);
    return os_error(ENOENT);
  }
  return open_listing(fd, facts.device, facts.inode, facts.owner);
}

int PortableListing::open_directory_below(int at, const char* relative, std::int64_t) {
  return openat(at, relative, kDirectoryOpenFlags | O_NOFOLLOW);
}

std::unique_ptr<ListingSource> portable_listing() { return std::make_unique<PortableListing>(); }

std::unique_ptr<ListingSource> allocation_listing() { return native_listing(); }

}  // namespace corvane::platform
