// POSIX-only fixture helpers: trees too deep for path-based calls, and
// running a test's checks as an unprivileged user.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace corvane::testing {

// Builds `levels` nested folders named `name` under `parent` with mkdirat
// relative to each new folder, and calls leaf(fd) in the innermost one.
// Returns false when the file system refuses.
template <typename Leaf>
bool make_chain(const std::string& parent, const std::string& name, int levels, Leaf leaf) {
  int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < levels && fd >= 0; ++i) {
    if (mkdirat(fd, name.c_str(), 0755) != 0) {
      close(fd);
      return false;
    }
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  if (fd < 0) return false;
  leaf(fd);
  close(fd);
  return true;
}

// Removes a chain made by make_chain (whose innermost folder holds only
// plain files) without ever naming a long path: down to the bottom, then up
// through ".." removing each emptied folder from its parent.
inline void remove_chain(const std::string& parent, const std::string& name) {
  int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  long depth = 0;
  for (int next; fd >= 0 && (next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) >= 0; ++depth) {
    close(fd);
    fd = next;
  }
  if (fd < 0) return;
  if (DIR* d = fdopendir(dup(fd))) {
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != ".." && n != name) names.push_back(n);
    }
    closedir(d);
    for (auto& n : names) unlinkat(fd, n.c_str(), 0);
  }
  for (; depth > 0; --depth) {
    int up = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    if (up < 0) return;
    unlinkat(up, name.c_str(), AT_REMOVEDIR);
    fd = up;
  }
  close(fd);
}

// Runs `checks` as a user without privileges. Not as root, they simply run
// here. As root, this test program runs the current test again under
// setpriv as nobody (the test then builds its own fixture and runs its
// checks there), and the child's exit status is returned: 0 when it passed.
template <typename Checks>
int run_unprivileged(Checks checks) {
  if (geteuid() != 0) {
    checks();
    return ::testing::Test::HasFailure() ? 1 : 0;
  }
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return -1;
  self[n] = '\0';
  pid_t pid = fork();
  if (pid == 0) {
    execlp("setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", self, filter.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace corvane::testing
