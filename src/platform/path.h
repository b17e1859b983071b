// Path text and path metadata. Paths are UTF-8 text on both platforms; the
// Windows side converts to and from UTF-16 lossily.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/dir_walk.h"
#include "platform/result.h"

namespace corvane::platform {

// '/' on POSIX, '\' on Windows: what joining puts between components.
extern const char kPathSeparator;

// '/' on POSIX; '\' and '/' on Windows.
bool is_path_separator(char c);

// Whether joining a name onto `dir` needs a separator: not when `dir` ends in
// one, and on Windows not after a bare drive such as "C:".
bool join_needs_separator(std::string_view dir);

// `dir` and `name` joined as a walk joins them.
std::string join_path(std::string_view dir, std::string_view name);

// The \\?\ forms shown plainly: "\\?\UNC\srv\x" becomes "\\srv\x", "\\?\D:\x"
// becomes "D:\x", anything else is returned unchanged. Pure text, exact
// bytes (UNC in upper case).
std::string strip_verbatim_prefix(std::string_view text);

// How a canonical or raw path (see DirectoryWalk::raw_path) is shown: its
// lossy UTF-8 text (lossy_utf8 on POSIX, utf8_from_wtf8 on Windows), with
// strip_verbatim_prefix on Windows (canonical POSIX paths carry no prefix).
std::string display_path(std::string_view path);

struct PathMetadata {
  EntryKind kind = EntryKind::file;  // link only from link_metadata
  EntryStat stat;
  bool data_not_local = false;  // see data_not_local(); always false on POSIX
};

// Whether Windows file attributes say that the data of a file, or the
// entries of a folder, are not on this disk: OFFLINE (0x1000),
// RECALL_ON_DATA_ACCESS (0x400000) and, in a directory listing, the only
// place where it has that meaning, RECALL_ON_OPEN (0x40000; elsewhere the
// bit is FILE_ATTRIBUTE_EA). Reading such a file, or listing such a
// folder, makes its provider (OneDrive and the like) fetch it and write it
// to the disk.
bool data_not_local(std::uint32_t attributes, bool listed);

// Metadata of what `path` names, following links (stat). The error text is
// the system's, e.g. "No such file or directory (os error 2)". A path
// holding a NUL names nothing: it fails with the system's "not found" text,
// here and in every call that hands path text to the system (listing a
// walk's root, canonicalising, opening for reading). On Windows those calls
// all open the verbatim form (verbatim_path in platform/wide.h), so that a
// path past MAX_PATH works wherever the walk that reported it did.
Result<PathMetadata> path_metadata(std::string_view path);
// Metadata of `path` itself, not following a final link (lstat); a symbolic
// link (Windows: a name-surrogate reparse point) has kind link.
Result<PathMetadata> link_metadata(std::string_view path);
// True when path_metadata succeeds and names a directory (so a link to a
// directory counts); false on any failure.
bool is_directory(std::string_view path);

// The absolute path with every link resolved: realpath on POSIX, the
// verbatim (\\?\) form from GetFinalPathNameByHandleW on Windows.
Result<std::string> canonical_path(std::string_view path);

// "<system text> (os error N)" for an errno / GetLastError code.
std::string os_error_text(int code);
// The same for the calling thread's last error.
std::string last_os_error_text();

// The kind of an errno / GetLastError code: ENOENT (ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND) is not_found; EACCES and EPERM (ERROR_ACCESS_DENIED)
// are permission_denied; anything else is other.
ErrorCode error_code_from_os(int code);
// os_error_text with its kind: what a platform function fails with.
Error os_error(int code);
// The same for the calling thread's last error, read before anything else
// can change it.
Error last_os_error();

}  // namespace corvane::platform
