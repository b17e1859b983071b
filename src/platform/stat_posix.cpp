// The portable metadata call: fstatat, as every POSIX system has it.
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/stat_posix.h"

namespace corvane::platform {

int portable_entry_facts(int dir, const char* name, bool follow, EntryFacts& out) {
  struct stat st;
  int rc = name == nullptr ? fstat(dir, &st) : fstatat(dir, name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW);
  if (rc != 0) return rc;
  out.mode = static_cast<std::uint32_t>(st.st_mode);
  out.device = static_cast<std::uint64_t>(st.st_dev);
  out.inode = static_cast<std::uint64_t>(st.st_ino);
  out.owner = static_cast<std::uint32_t>(st.st_uid);
  out.mount_root = false;
  out.stat = entry_stat_from(st);
  return 0;
}

}  // namespace corvane::platform
