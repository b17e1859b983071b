#include "platform/stdio.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

namespace corvane::platform {
namespace {

TEST(StdioTest, OnlyRepliesReachTheOriginalStandardOutput) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::fflush(stdout);
  int test_stdout = ::dup(STDOUT_FILENO);
  ::dup2(pipe_fds[1], STDOUT_FILENO);
  ::close(pipe_fds[1]);

  prepare_stdio();
  std::printf("a library's stray print\n");
  std::fflush(stdout);
  (void)!::write(STDOUT_FILENO, "raw write\n", 10);
  EXPECT_TRUE(write_stdout("{\"id\":1}\n"));

  // Put the test's own output back, then read what the "client" received.
  ::dup2(test_stdout, STDOUT_FILENO);
  ::close(test_stdout);
  for (int fd = 3; fd < 1024; ++fd) {
    if (fd != pipe_fds[0] && ::fcntl(fd, F_GETFD) >= 0 && (::fcntl(fd, F_GETFD) & FD_CLOEXEC)) {
      // The reply descriptor is the only close-on-exec duplicate we made.
      struct stat st;
      if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) ::close(fd);
    }
  }
  std::string received;
  char buf[256];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0) received.append(buf, static_cast<std::size_t>(n));
  ::close(pipe_fds[0]);
  EXPECT_EQ(received, "{\"id\":1}\n");
}

}  // namespace
}  // namespace corvane::platform
