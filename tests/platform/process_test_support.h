// Helpers the runner's tests need from the system they run on.
#pragma once

#include <memory>
#include <string>

namespace corvane::test {

// Full path of a program built next to the test executables.
std::string built_program(const std::string& name);

// The separator of the PATH list.
char path_list_separator();

// While alive, the test process's own standard input is a pipe that nobody
// writes to or closes: a child that inherited it would wait forever.
class HeldStdin {
 public:
  HeldStdin();
  ~HeldStdin();
  HeldStdin(const HeldStdin&) = delete;
  HeldStdin& operator=(const HeldStdin&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// True when no process (not even an unreaped zombie) has this id any more.
bool process_is_gone(long pid);

// True when the process has ended, even if nobody has reaped it yet (an
// orphan whose new parent does not reap).
bool process_has_ended(long pid);

}  // namespace corvane::test
