// The junk location catalogue: nine categories, each with how its base
// folders are examined, which names it looks for, and how safe it is to
// delete. Compiled in; nothing changes it at run time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "modules/junk_scan/environment.h"

namespace corvane::junk_scan {

enum class JunkScanKind : std::uint8_t {
  TopLevelEntries,  // every entry directly inside a base folder is one item
  FilePatterns,     // every file whose name matches a pattern is one item
  FolderNames,      // every folder whose name equals a name is one item, not entered
};

enum class SafetyLevel : std::uint8_t { Safe = 0, Caution = 1, Risky = 2 };

// "safe", "caution" or "risky".
std::string_view safety_text(SafetyLevel level);

// The base-folder lists the categories search. Which folders each holds is
// each platform's own table (junk_folders_win32.cpp, junk_folders_posix.cpp).
enum class FolderList : std::uint8_t {
  temporary,           // the system's and the user's temporary folders
  crash_dump_folders,  // the temporary folders, plus the system's crash folder on Linux
  package_caches,      // package managers' download caches
  user_documents,      // the desktop, downloads and documents folders
  browser_caches,
  app_caches,
  thumbnail_caches,
  log_folders,
  development_roots,   // the folders source trees are kept in
};

struct JunkLocation {
  JunkScanKind kind;
  bool recursive;  // FilePatterns only: subfolders are searched too
  std::span<const std::string_view> patterns;
  std::string_view id;
  FolderList base_folders;
  SafetyLevel safety;
};

// The nine categories, in the order they are scanned and reported.
std::span<const JunkLocation> junk_catalogue();

// The existing folders of `list` at this moment, in list order: the
// platform's candidates whose variables are set, with the temporary folders
// sorted and de-duplicated, then filtered to paths whose metadata (following
// links) can be read. Unset variables and missing folders only shorten it.
std::vector<std::string> base_folders(FolderList list, const Environment& environment);

}  // namespace corvane::junk_scan
