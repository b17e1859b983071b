// corvane-mcp: a read-only disk analysis server speaking the Model Context
// Protocol over standard input and output.
#include <cstddef>
#include <cstdio>
#include <exception>
#include <string>

#include "mcp_server/line_reader.h"
#include "mcp_server/message_loop.h"
#include "platform/runtime.h"
#include "platform/stdio.h"

int main() {
  corvane::Status started = corvane::runtime::start();
  if (!started.ok()) {
    std::string text = "[corvane-mcp] failed to start runtime: " + started.error() + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    return 1;
  }
  corvane::platform::prepare_stdio();
  corvane::mcp::LineReader input([](char* buffer, std::size_t capacity) {
    (void)corvane::runtime::arm_memory_reserve();  // spent when the last line ran out of memory
    return corvane::platform::read_stdin(buffer, capacity);
  });
  try {
    corvane::mcp::serve(input, corvane::platform::write_stdout);
  } catch (const std::exception&) {
    // Out of memory outside any one request (a line too long to hold): the
    // input cannot be read on, which ends the loop as a read error does.
  }
  corvane::runtime::stop();
  return 0;
}
