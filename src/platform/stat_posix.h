// Entry metadata on POSIX: size and times from a stat buffer, and the one
// metadata call every walk and path check makes. For the POSIX
// implementation files only.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <utility>

#include "platform/dir_walk.h"

namespace corvane::platform {

// POSIX.1-2008 names the times st_mtim and st_atim; macOS names them
// st_mtimespec and st_atimespec. Whichever the system's struct stat has
// is the one chosen.
template <typename Stat>
auto write_and_access_times(const Stat& st) -> decltype(std::make_pair(st.st_mtim, st.st_atim)) {
  return {st.st_mtim, st.st_atim};
}
template <typename Stat>
auto write_and_access_times(const Stat& st) -> decltype(std::make_pair(st.st_mtimespec, st.st_atimespec)) {
  return {st.st_mtimespec, st.st_atimespec};
}

inline EntryStat entry_stat_from(const struct stat& st) {
  auto [write, access] = write_and_access_times(st);
  return EntryStat{static_cast<std::uint64_t>(st.st_size), filetime_from_unix(write.tv_sec, write.tv_nsec),
                   filetime_from_unix(access.tv_sec, access.tv_nsec), static_cast<std::uint64_t>(st.st_dev),
                   static_cast<std::uint64_t>(st.st_ino)};
}

// What one metadata call tells of an entry.
struct EntryFacts {
  std::uint32_t mode = 0;  // st_mode
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint32_t owner = 0;  // user id
  // The root of a mount (bind mounts of single files included), where the
  // system says so; false where it cannot tell.
  bool mount_root = false;
  EntryStat stat;
};

// Metadata of `name` relative to the directory handle `dir` (or AT_FDCWD),
// or of the handle `dir` itself when `name` is null; a final link is
// followed only when `follow`. 0, or -1 with errno set.
//
// Linux asks statx not to wait: AT_STATX_DONT_SYNC takes what the kernel
// holds of an entry of a network or FUSE file system instead of asking its
// server, so that a mount point (whose metadata belongs to the mounted file
// system) answers even when that server never will, and AT_NO_AUTOMOUNT
// leaves an automount point alone. The price, on a scan whose root itself
// lies on such a file system: an entry the kernel has in its attribute
// cache is reported as cached, which is at most the mount's cache lifetime
// old (NFS: acregmax/acdirmax, 60 s by default; SMB: actimeo, 1 s); an
// entry it has not seen is fetched by the lookup that finds it, and so is
// current. Sizes then match what `ls -l` showed a moment before, and no
// answer waits on a server. Local file systems answer the same either way.
//
// Elsewhere (portable_entry_facts) this is fstatat, which waits where the
// file system waits: POSIX has no call that promises not to, nor one that
// tells a mount root apart from its device number.
int entry_facts(int dir, const char* name, bool follow, EntryFacts& out);
int portable_entry_facts(int dir, const char* name, bool follow, EntryFacts& out);

}  // namespace corvane::platform
