// The Linux metadata call: statx that never waits on another file system
// (see stat_posix.h for what that costs on a network file system).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>

#include "platform/stat_posix.h"

namespace corvane::platform {

int entry_facts(int dir, const char* name, bool follow, EntryFacts& out) {
  int flags = AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT;
  if (!follow) flags |= AT_SYMLINK_NOFOLLOW;
  if (name == nullptr) flags |= AT_EMPTY_PATH;
  struct statx sx;
  if (statx(dir, name == nullptr ? "" : name, flags, STATX_TYPE | STATX_MODE | STATX_UID | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_ATIME,
            &sx) != 0) {
    // A kernel or filter without statx: the plain call.
    return errno == ENOSYS ? portable_entry_facts(dir, name, follow, out) : -1;
  }
  out.mode = sx.stx_mode;
  out.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  out.inode = sx.stx_ino;
  out.owner = sx.stx_uid;
  // Kernels before 5.8 do not say; directories are then told by device.
  out.mount_root = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                   (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  out.stat = EntryStat{sx.stx_size, filetime_from_unix(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec),
                       filetime_from_unix(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec), out.device, out.inode};
  return 0;
}

}  // namespace corvane::platform
