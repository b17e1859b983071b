#include <unistd.h>

#include "platform/child_support.h"

namespace corvane::test {

std::vector<std::string> child_arguments(int argc, char** argv) { return {argv, argv + argc}; }

long child_process_id() { return static_cast<long>(::getpid()); }

unsigned long child_error_mode() { return 0; }

long start_pipe_holder() {
  pid_t pid = ::fork();
  if (pid == 0) {
    for (;;) ::pause();
  }
  return static_cast<long>(pid);
}

}  // namespace corvane::test
