#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/long_path_posix.h"
#include "platform/path.h"
#include "platform/stat_posix.h"
#include "platform/text.h"

namespace corvane::platform {

const char kPathSeparator = '/';

bool is_path_separator(char c) { return c == '/'; }

bool join_needs_separator(std::string_view dir) { return !dir.empty() && dir.back() != '/'; }

std::string display_path(std::string_view path) { return lossy_utf8(path); }

bool needs_component_walk(std::string_view path) { return path.size() >= PATH_MAX; }

Result<std::string> c_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    Error missing = os_error(ENOENT);
    errno = ENOENT;
    return missing;
  }
  return std::string(path);
}

int open_parent_directory(std::string_view path, std::string& leaf) {
  std::size_t last = path.find_last_of('/');
  std::size_t leaf_start = last == std::string_view::npos ? 0 : last + 1;
  std::size_t dir_end = last == std::string_view::npos ? 0 : last;
  if (leaf_start < path.size()) {
    leaf.assign(path.data() + leaf_start, path.size() - leaf_start);
  } else {
    leaf.assign(1, '.');
  }
  int fd = ::open(!path.empty() && path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string component;
  std::size_t pos = 0;
  while (fd >= 0 && pos < dir_end) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos || end > dir_end) end = dir_end;
    if (end > pos) {
      component.assign(path.data() + pos, end - pos);
      int child = ::openat(fd, component.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      int saved = errno;
      ::close(fd);
      errno = saved;
      fd = child;
    }
    pos = end + 1;
  }
  return fd;
}

namespace {

Result<PathMetadata> metadata(std::string_view path, bool follow) {
  Result<std::string> checked = c_path(path);
  if (!checked.ok()) return checked.failure();
  const std::string& text = checked.value();
  EntryFacts facts;
  int rc;
  if (needs_component_walk(text)) {
    std::string leaf;
    int dir = open_parent_directory(text, leaf);
    rc = dir < 0 ? -1 : entry_facts(dir, leaf.c_str(), follow, facts);
    int saved = errno;
    if (dir >= 0) ::close(dir);
    errno = saved;
  } else {
    rc = entry_facts(AT_FDCWD, text.c_str(), follow, facts);
  }
  if (rc != 0) return last_os_error();
  PathMetadata out;
  out.kind = kind_from_mode(facts.mode, false);
  out.stat = facts.stat;
  return out;
}

// The GNU strerror_r returns its text; the XSI one fills the buffer.
[[maybe_unused]] const char* strerror_text(const char* returned, const char*) { return returned; }
[[maybe_unused]] const char* strerror_text(int, const char* buffer) { return buffer; }

}  // namespace

Result<PathMetadata> path_metadata(std::string_view path) { return metadata(path, true); }
Result<PathMetadata> link_metadata(std::string_view path) { return metadata(path, false); }

Result<std::string> canonical_path(std::string_view path) {
  Result<std::string> text = c_path(path);
  if (!text.ok()) return text.failure();
  char* resolved = ::realpath(text->c_str(), nullptr);
  if (resolved == nullptr) return last_os_error();
  std::string out(resolved);
  std::free(resolved);
  return out;
}

std::string os_error_text(int code) {
  char buffer[256] = {};
  const char* text = strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

std::string last_os_error_text() { return os_error_text(errno); }

ErrorCode error_code_from_os(int code) {
  if (code == ENOENT) return ErrorCode::not_found;
  if (code == EACCES || code == EPERM) return ErrorCode::permission_denied;
  return ErrorCode::other;
}

Error last_os_error() { return os_error(errno); }

}  // namespace corvane::platform
