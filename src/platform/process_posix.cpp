#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/process.h"

extern char** environ;

namespace corvane::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kExitPollMilliseconds = 10;

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

struct Pipe {
  Descriptor read_end;
  Descriptor write_end;
};

Result<Unit> open_pipe(Pipe& pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return make_error(std::strerror(errno));
  pipe.read_end.reset(fds[0]);
  pipe.write_end.reset(fds[1]);
  return ok_status();
}

// Descriptors opened by other threads without O_CLOEXEC must not reach the
// child either; where the library cannot close them at spawn time, the
// platform's "close on exec by default" flag does the same.
void close_other_descriptors(posix_spawn_file_actions_t& actions, short& flags) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  (void)flags;
#elif defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
  (void)actions;
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
  (void)actions;
  (void)flags;
#endif
}

class SpawnSetup {
 public:
  SpawnSetup(int out_fd, int err_fd) {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
    posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions_, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions_, err_fd, 2);
    // Its own process group, so a timeout can end whatever it started too;
    // default signal dispositions, so an ignored SIGPIPE is not inherited.
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    close_other_descriptors(actions_, flags);
    posix_spawnattr_setflags(&attr_, flags);
    posix_spawnattr_setpgroup(&attr_, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr_, &none);
    sigset_t reset;
    sigemptyset(&reset);
    sigaddset(&reset, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr_, &reset);
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attr_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

// Reads what is available from `fd` into `sink`; resets the descriptor at
// end of file or on a read error.
void read_available(Descriptor& fd, std::string& sink) {
  char buffer[65536];
  ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
  if (got > 0) {
    sink.append(buffer, static_cast<std::size_t>(got));
  } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
    fd.reset();
  }
}

// Takes exactly what `fd` holds now and no more: whatever a descendant that
// still holds the pipe writes later, or its silence, is not waited for.
void take_buffered(Descriptor& fd, std::string& sink) {
  if (fd.get() < 0) return;
  int pending = 0;
  if (::ioctl(fd.get(), FIONREAD, &pending) != 0) pending = 0;
  char buffer[65536];
  while (pending > 0) {
    ssize_t got = ::read(fd.get(), buffer, std::min<std::size_t>(sizeof buffer, static_cast<std::size_t>(pending)));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    sink.append(buffer, static_cast<std::size_t>(got));
    pending -= static_cast<int>(got);
  }
  fd.reset();
}

int exit_code_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Whether the child has ended, without reaping it: until it is reaped its
// id, and so its process group's id, cannot be taken by another process.
bool has_exited(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// After SIGKILL a child normally dies at once; one stuck in the kernel (a
// disk that no longer answers) is left to a thread that reaps it whenever
// it ends, so the caller is never held up and no zombie stays behind.
void reap_killed(pid_t pid) {
  auto give_up = Clock::now() + std::chrono::seconds(2);
  while (Clock::now() < give_up) {
    if (has_exited(pid)) {
      reap(pid);
      return;
    }
    ::poll(nullptr, 0, 5);
  }
  try {
    std::thread([pid] { reap(pid); }).detach();
  } catch (const std::exception&) {
    // No thread to spare: the zombie stays until the server exits.
  }
}

// The one loop that waits for a child: it reads both pipes while the child
// runs and ends when the child exits, taking what the pipes hold then, or
// at the deadline. Whatever the child left running in its process group is
// ended with it, as closing the job does on Windows.
void collect(pid_t pid, Descriptor& out, Descriptor& err, Clock::time_point deadline, const std::stop_token& stop,
             ProcessOutput& output) {
  for (;;) {
    if (has_exited(pid)) {
      take_buffered(out, output.stdout_bytes);
      take_buffered(err, output.stderr_bytes);
      ::kill(-pid, SIGKILL);
      output.exit_code = exit_code_of(reap(pid));
      return;
    }
    auto now = Clock::now();
    if (now >= deadline || stop.stop_requested()) {
      (now >= deadline ? output.timed_out : output.stopped) = true;
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      take_buffered(out, output.stdout_bytes);
      take_buffered(err, output.stderr_bytes);
      reap_killed(pid);
      return;
    }
    // Short naps: the exit is noticed by polling, also while a descendant
    // keeps the pipes open and quiet.
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    int wait_ms = static_cast<int>(std::min<long long>(remaining, kExitPollMilliseconds));
    pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
    if (::poll(fds, 2, wait_ms) <= 0) continue;
    if (fds[0].revents) read_available(out, output.stdout_bytes);
    if (fds[1].revents) read_available(err, output.stderr_bytes);
  }
}

class PosixProcessRunner final : public ProcessRunner {
 public:
  Result<ProcessOutput> run(const ProcessRequest& request) override {
    Pipe out;
    Pipe err;
    if (auto opened = open_pipe(out); !opened) return make_error(opened.error());
    if (auto opened = open_pipe(err); !opened) return make_error(opened.error());

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(request.program.c_str()));
    for (const std::string& argument : request.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    int failed = 0;
    {
      SpawnSetup setup(out.write_end.get(), err.write_end.get());
      failed = ::posix_spawn(&pid, request.program.c_str(), setup.actions(), setup.attr(), argv.data(), environ);
    }
    out.write_end.reset();
    err.write_end.reset();
    if (failed != 0) return make_error(std::strerror(failed));

    ProcessOutput output;
    try {
      collect(pid, out.read_end, err.read_end, Clock::now() + request.time_limit, request.stop, output);
    } catch (...) {
      // Out of memory for its output: the child must not outlive the call.
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      reap_killed(pid);
      throw;
    }
    return output;
  }
};

bool is_executable_file(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

ProcessRunner& system_process_runner() {
  static PosixProcessRunner runner;
  return runner;
}

std::optional<std::string> find_program(std::string_view file_name,
                                        const std::vector<std::string>& preferred,
                                        std::string_view search_path) {
  for (const std::string& candidate : preferred) {
    if (is_executable_file(candidate)) return candidate;
  }
  while (!search_path.empty()) {
    std::size_t colon = search_path.find(':');
    std::string_view dir = search_path.substr(0, colon);
    search_path = colon == std::string_view::npos ? std::string_view{} : search_path.substr(colon + 1);
    if (dir.empty() || dir.front() != '/') continue;
    std::string candidate(dir);
    if (candidate.back() != '/') candidate += '/';
    candidate += file_name;
    if (is_executable_file(candidate)) return candidate;
  }
  return std::nullopt;
}

void suppress_error_dialogs() {}

std::string environment_variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

}  // namespace corvane::platform
