// Emptiness as the empty-folders scan defines it, tested the slow way: one
// walk of the folder's whole subtree. An oracle for the one-pass scan.
#pragma once

#include <string>

#include "platform/dir_walk.h"

namespace corvane::dir_scan {

// True when `folder` can be listed and every entry, down its whole subtree,
// is a listable folder (not a link); a failed entry makes it false.
inline bool is_recursively_empty(const std::string& folder) {
  using platform::DirectoryWalk;
  DirectoryWalk walk(folder, platform::WalkOptions{.report_directory_ends = true});
  while (walk.next()) {
    bool content = walk.event() == DirectoryWalk::Event::entry
                       ? walk.kind() != platform::EntryKind::directory
                       : !walk.summary().opened || walk.summary().failures > 0;
    if (content) return false;
  }
  return true;
}

}  // namespace corvane::dir_scan
