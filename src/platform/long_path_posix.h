// Path text as POSIX system calls take it. Paths longer than one system
// call accepts (PATH_MAX) are reached one component at a time, so a file at
// the bottom of a very deep tree can still be looked at and read. For the
// POSIX implementation files only.
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"

namespace corvane::platform {

// `path` as the NUL-terminated text a system call takes. A path holding a
// NUL names no file, and its C string would end early and name another
// one: it fails as a missing file does, with the ENOENT text (errno is left
// at ENOENT too, for callers that only return false).
Result<std::string> c_path(std::string_view path);

// Opens (O_PATH) the directory holding the last component of `path`,
// walking from "/" or "." one component at a time, and stores that last
// component in `leaf` ("." when the path ends in a separator). Returns the
// descriptor, which the caller closes, or -1 with errno set.
int open_parent_directory(std::string_view path, std::string& leaf);

// Whether `path` is too long to hand to the kernel whole.
bool needs_component_walk(std::string_view path);

}  // namespace corvane::platform
