// Echoes its standard input to its standard output through the server's
// own stream functions, in reads of at most 16 bytes. Exit code 0 at the
// end of input, 2 on a read error, 3 on a write error.
#include <string_view>

#include "platform/stdio.h"

int main() {
  corvane::platform::prepare_stdio();
  char buffer[16];
  for (;;) {
    long got = corvane::platform::read_stdin(buffer, sizeof buffer);
    if (got == 0) return 0;
    if (got < 0) return 2;
    if (!corvane::platform::write_stdout(std::string_view(buffer, static_cast<std::size_t>(got))))
      return 3;
  }
}
