// Size and times from a POSIX stat buffer. For the POSIX implementation
// files only.
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
                   filetime_from_unix(access.tv_sec, access.tv_nsec)};
}

}  // namespace corvane::platform
