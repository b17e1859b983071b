// The records the directory scans report, and the value rules they share:
// timestamps, the extension rule and the exclude rule.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::dir_scan {

struct FileEntry {
  std::string path;
  std::string name;
  std::uint64_t size = 0;
  std::optional<std::string> extension;
  std::int64_t modified = 0;
};

struct EmptyFileEntry {
  std::string path;
  std::string name;
  std::uint64_t size = 0;  // always 0
  std::optional<std::string> extension;
  std::int64_t modified = 0;
  std::int64_t accessed = 0;
};

struct EmptyFolderEntry {
  std::string path;
  std::string name;
  bool recursive_empty = false;  // true: holds only empty folders; false: holds nothing
};

// Records the empty scans collect before they stop entering directories.
inline constexpr std::size_t kResultCap = 1'000'000;

// Whole seconds since 1970 for a FILETIME (100 ns ticks since 1601), the
// remainder dropped; 0 for anything earlier than 1970.
std::int64_t unix_seconds(std::int64_t filetime);

// The extension rule: none for an empty name, "..", a name without '.', or
// one whose only '.' leads (".gitignore"); otherwise the text after the last
// '.' (empty for "notes."), with full Unicode lower-casing.
std::optional<std::string> extension_of(std::string_view name);

// A path (lossy UTF-8, as walks give it) as the exclude rule compares it:
// with full Unicode lower-casing.
std::string lowered_path(std::string_view path);

// The exclude rule: the exclude strings with trailing '\' and '/' removed,
// fully lower-cased, empty ones dropped. Matching is plain byte text on a
// lowered path, without component boundaries.
class ExcludeList {
 public:
  explicit ExcludeList(const std::vector<std::string>& exclude_paths);
  bool empty() const { return entries_.empty(); }
  // `lowered` is a lowered_path.
  bool any_prefix_of(std::string_view lowered) const;
  bool any_inside(std::string_view lowered) const;
  const std::vector<std::string>& entries() const { return entries_; }

 private:
  std::vector<std::string> entries_;
};

}  // namespace corvane::dir_scan
