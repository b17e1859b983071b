#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>

#include "platform/process.h"
#include "platform/process_test_support.h"

namespace corvane::test {

struct HeldStdin::State {
  int saved = -1;
  int pipe_fds[2] = {-1, -1};
};

HeldStdin::HeldStdin() : state_(std::make_unique<State>()) {
  state_->saved = ::dup(0);
  if (::pipe(state_->pipe_fds) == 0) ::dup2(state_->pipe_fds[0], 0);
}

HeldStdin::~HeldStdin() {
  ::dup2(state_->saved, 0);
  ::close(state_->saved);
  ::close(state_->pipe_fds[0]);
  ::close(state_->pipe_fds[1]);
}

bool process_is_gone(long pid) {
  // kill(pid, 0) still succeeds for a zombie, so this also proves the reaping.
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

bool process_has_ended(long pid) {
  if (process_is_gone(pid)) return true;
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat_line;
  std::getline(stat_file, stat_line);
  std::size_t name_end = stat_line.rfind(") ");
  return name_end != std::string::npos && stat_line.compare(name_end + 2, 1, "Z") == 0;
}

char path_list_separator() { return ':'; }

}  // namespace corvane::test

namespace corvane::platform {
namespace {

using namespace std::chrono_literals;

TEST(PosixProcessRunnerTest, ADescendantHoldingThePipesCannotOutlastTheLimit) {
  auto started = std::chrono::steady_clock::now();
  auto ran = system_process_runner().run({"/bin/sh", {"-c", "sleep 60 & echo started; sleep 60"}, 1500ms});
  ASSERT_TRUE(ran.ok()) << ran.error();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_EQ(ran->stdout_bytes, "started\n");
  EXPECT_TRUE(ran->timed_out);
  // The shell itself was reaped; no child of ours is left at all.
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(PosixProcessRunnerTest, OtherDescriptorsOfTheServerDoNotReachTheChild) {
  int leaky[2];
  ASSERT_EQ(::pipe(leaky), 0);  // deliberately without O_CLOEXEC
  ASSERT_EQ(::dup2(leaky[0], 100), 100);
  ASSERT_EQ(::dup2(leaky[1], 101), 101);
  auto ran = system_process_runner().run({"/bin/sh", {"-c", "ls /proc/self/fd"}, 10s});
  for (int fd : {leaky[0], leaky[1], 100, 101}) ::close(fd);
  ASSERT_TRUE(ran.ok()) << ran.error();
  // Only 0, 1, 2 and the descriptor ls itself opens on the folder.
  EXPECT_EQ(ran->stdout_bytes, "0\n1\n2\n3\n");
}

TEST(PosixProcessRunnerTest, ChildrenStartWithTheDefaultBrokenPipeSignalThoughTheServerIgnoresIt) {
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  auto ran = system_process_runner().run({"/bin/cat", {"/proc/self/status"}, 10s});
  ::sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_TRUE(ran.ok()) << ran.error();
  // smartctl and its kind rely on SIGPIPE to stop writing to a closed pipe.
  std::size_t at = ran->stdout_bytes.find("SigIgn:");
  ASSERT_NE(at, std::string::npos);
  std::uint64_t ignored = std::stoull(ran->stdout_bytes.substr(at + 7), nullptr, 16);
  EXPECT_EQ(ignored & (std::uint64_t{1} << (SIGPIPE - 1)), 0u) << std::hex << ignored;
}

}  // namespace
}  // namespace corvane::platform
