#include <cerrno>
#include <signal.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "platform/stdio.h"

namespace corvane::platform {

namespace {
// Replies go to a private duplicate of the original standard output, so
// that nothing else in the process (a library's stray print) can put bytes
// between them.
int g_reply_fd = STDOUT_FILENO;

// A host may hand over descriptors in non-blocking mode, which is theirs
// to keep (the mode belongs to the open file, which the host may share):
// "not now" is waited out here, so that it never reads as the end of input
// nor cuts a reply.
bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

void wait_until_ready(int fd, short events) {
  pollfd ready{fd, events, 0};
  // Readiness, a hang-up or an error all end the wait: the next read or
  // write then tells which.
  while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
  }
}
}  // namespace

void prepare_stdio() {
  // A client that stops reading must not end the server: with SIGPIPE
  // ignored, a write to a pipe without a reader fails with EPIPE instead,
  // whichever thread writes. Children get the default back at spawn.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);

  int saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved < 0) return;
  int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0) {
    ::close(saved);
    return;
  }
  ::dup2(null_fd, STDOUT_FILENO);
  ::close(null_fd);
  g_reply_fd = saved;
}

long read_stdin(char* buffer, std::size_t capacity) {
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buffer, capacity);
    if (n >= 0) return static_cast<long>(n);
    if (would_block(errno)) {
      wait_until_ready(STDIN_FILENO, POLLIN);
    } else if (errno != EINTR) {
      return -1;
    }
  }
}

bool write_stdout(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(g_reply_fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (would_block(errno)) {
        wait_until_ready(g_reply_fd, POLLOUT);
      } else if (errno != EINTR) {
        return false;
      }
      continue;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace corvane::platform
