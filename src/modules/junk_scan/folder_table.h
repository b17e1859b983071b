// How each platform writes its base-folder lists: one row per candidate
// folder, a root and the path appended to it. Internal to junk_scan.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "modules/junk_scan/catalogue.h"
#include "modules/junk_scan/environment.h"

namespace corvane::junk_scan {

enum class Root : std::uint8_t {
  temp_folder,     // the system's temporary folder
  fixed,           // none: the appended text is a whole system path
  temporary_list,  // the temporary folders as a whole, at this place
  profile,         // USERPROFILE; HOME
  local_app_data,  // LOCALAPPDATA, whether or not USERPROFILE is set (Windows)
  user_local,      // LOCALAPPDATA; XDG_CACHE_HOME or HOME/.cache. Only when
                   // USERPROFILE / HOME is set, as the package caches
                   // and the browser caches require
  user_state,      // XDG_STATE_HOME or HOME/.local/state. Only with HOME
  system_root,     // SystemRoot, or C:\Windows when it is not set
};

struct FolderRow {
  FolderList list;
  Root root;
  std::string_view appended;  // empty: the root itself
};

// Each platform's table, rows of one list in list order.
std::span<const FolderRow> folder_rows();

// The root's folder in this environment, or nullopt when it contributes
// nothing (a variable not set). Not for temporary_list.
std::optional<std::string> root_folder(Root root, const Environment& environment);

// Path order of the temporary folders, component by component: true when component `a`
// sorts before `b` (UTF-16 code units on Windows, bytes on POSIX).
bool component_less(std::string_view a, std::string_view b);

// Splits a path into its components: a leading separator (the root) counts
// as one, then the names between separators; empty names are dropped, so
// "C:\Temp\" and "C:\Temp" have the same components.
std::vector<std::string_view> path_components(std::string_view path);

// The temporary folders' order: sorted by components (stable), and of
// equal paths the first kept.
std::vector<std::string> sorted_unique(std::vector<std::string> paths);

}  // namespace corvane::junk_scan
