// corvane-mcp: a read-only disk analysis server speaking the Model Context
// Protocol over standard input and output.
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "mcp_server/line_reader.h"
#include "mcp_server/message_loop.h"
#include "platform/dir_walk.h"
#include "platform/process.h"
#include "platform/runtime.h"
#include "platform/stdio.h"

namespace {

// The walk-slowing seam of the end-to-end tests (see platform/dir_walk.h):
// a whole number of microseconds, anything else ignored.
void apply_test_entry_pause() {
  std::string text = corvane::platform::environment_variable("CORVANE_TEST_ENTRY_PAUSE_US");
  if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos) return;
  corvane::platform::set_entry_pause(std::chrono::microseconds(std::stoll(text)));
}

// The warming seam (see platform/dir_walk.h): "always" or "off".
void apply_test_warm_ahead() {
  std::string text = corvane::platform::environment_variable("CORVANE_TEST_WARM_AHEAD");
  if (text == "always") corvane::platform::set_warm_ahead_override(corvane::platform::WarmAhead::always);
  if (text == "off") corvane::platform::set_warm_ahead_override(corvane::platform::WarmAhead::off);
}

// The walkers seam (see platform/dir_walk.h): a whole number of walkers
// for every walk that would have more than one.
void apply_test_walkers() {
  std::string text = corvane::platform::environment_variable("CORVANE_TEST_WALKERS");
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return;
  corvane::platform::set_walkers_override(static_cast<std::size_t>(std::stoul(text)));
}

}  // namespace

int main() {
  corvane::platform::suppress_error_dialogs();
  corvane::Status started = corvane::runtime::start();
  if (!started.ok()) {
    std::string text = "[corvane-mcp] failed to start runtime: " + started.error() + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    return 1;
  }
  corvane::platform::prepare_stdio();
  apply_test_entry_pause();
  apply_test_walkers();
  apply_test_warm_ahead();
  bool reading = false;
  corvane::mcp::LineReader input([&reading](char* buffer, std::size_t capacity) {
    reading = true;
    (void)corvane::runtime::arm_memory_reserve();  // spent when the last line ran out of memory
    return corvane::platform::read_stdin(buffer, capacity);
  });
  bool every_call_ended = true;
  try {
    every_call_ended = corvane::mcp::serve(input, corvane::platform::write_stdout, [] {
      corvane::runtime::stop_without_waiting();
      std::exit(0);
    });
  } catch (const std::exception& failed) {
    // Out of memory before the first read is a failed start, said as such
    // rather than an exit that looks like the end of the input.
    if (!reading) {
      corvane::runtime::stop();
      std::string text = std::string("[corvane-mcp] failed to start runtime: ") + failed.what() + "\n";
      std::fwrite(text.data(), 1, text.size(), stderr);
      return 1;
    }
    // Out of memory outside any one request (a line too long to hold): the
    // input cannot be read on, which ends the loop as a read error does.
  }
  // A call left running may never come back from the kernel: the end of
  // input still ends the process, without waiting for it.
  if (every_call_ended) {
    corvane::runtime::stop();
  } else {
    corvane::runtime::stop_without_waiting();
  }
  return 0;
}
