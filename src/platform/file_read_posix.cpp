#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_read.h"
#include "platform/long_path_posix.h"
#include "platform/path.h"

namespace corvane::platform {

#ifndef O_NOATIME
#define O_NOATIME 0
#endif

struct ReadHandle::Native {
  int fd = -1;
};

ReadHandle::ReadHandle(std::unique_ptr<Native> native) : native_(std::move(native)) {}
ReadHandle::ReadHandle(ReadHandle&& other) noexcept = default;
ReadHandle& ReadHandle::operator=(ReadHandle&& other) noexcept = default;

ReadHandle::~ReadHandle() {
  if (native_ && native_->fd >= 0) ::close(native_->fd);
}

std::int64_t ReadHandle::read(void* buffer, std::size_t capacity) {
  for (;;) {
    ssize_t got = ::read(native_->fd, buffer, capacity);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool ReadHandle::seek(std::uint64_t offset) {
  return ::lseek(native_->fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

Result<ReadHandle> open_for_read(std::string_view path) {
  Result<std::string> checked = c_path(path);
  if (!checked.ok()) return make_error(checked.error());
  std::string& text = checked.value();
  // A path too long for the kernel is opened relative to its parent,
  // reached one component at a time.
  int dir = AT_FDCWD;
  if (needs_component_walk(text)) {
    dir = open_parent_directory(path, text);
    if (dir < 0) return make_error(last_os_error_text());
  }
  // O_NONBLOCK: a FIFO put where a file was must not stall the open or the
  // reads; regular files and directories ignore it.
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  int fd = ::openat(dir, text.c_str(), flags | O_NOATIME);
  // Only the owner (or a privileged process) may ask for O_NOATIME.
  if (fd < 0 && errno == EPERM) fd = ::openat(dir, text.c_str(), flags);
  int saved = errno;
  if (dir != AT_FDCWD) ::close(dir);
  errno = saved;
  if (fd < 0) return make_error(last_os_error_text());
#if defined(POSIX_FADV_SEQUENTIAL)
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  auto native = std::make_unique<ReadHandle::Native>();
  native->fd = fd;
  return ReadHandle(std::move(native));
}

}  // namespace corvane::platform
