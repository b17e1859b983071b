#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "platform/stdio.h"

namespace corvane::platform {

void prepare_stdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

long read_stdin(char* buffer, std::size_t capacity) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD want = capacity > 0x10000000 ? 0x10000000 : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (ReadFile(in, buffer, want, &got, nullptr)) return static_cast<long>(got);
  // A pipe whose writer has gone away reports end of input this way.
  if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
  return -1;
}

bool write_stdout(std::string_view bytes) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  while (!bytes.empty()) {
    DWORD chunk = bytes.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(out, bytes.data(), chunk, &written, nullptr)) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace corvane::platform
