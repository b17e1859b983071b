#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "platform/stdio.h"

namespace corvane::platform {

namespace {
// Replies go to the original standard output handle; the process's standard
// output (handle and C runtime descriptor) is pointed at NUL so that a
// library's stray print cannot reach the client.
HANDLE g_reply = INVALID_HANDLE_VALUE;
}  // namespace

void prepare_stdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  // A duplicate of our own: redirecting descriptor 1 below closes the
  // handle it held, which is the original standard output handle.
  HANDLE original = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, original, self, &g_reply, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    g_reply = INVALID_HANDLE_VALUE;
    return;
  }
  HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (nul == INVALID_HANDLE_VALUE) return;
  int nul_fd = _open_osfhandle(reinterpret_cast<intptr_t>(nul), _O_WRONLY | _O_BINARY);
  if (nul_fd < 0) {
    CloseHandle(nul);
    return;
  }
  // _dup2 gives descriptor 1 a handle of its own, and SetStdHandle makes
  // GetStdHandle callers see NUL too.
  if (_dup2(nul_fd, _fileno(stdout)) == 0) {
    HANDLE fd1 = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    SetStdHandle(STD_OUTPUT_HANDLE, fd1);
  }
  _close(nul_fd);
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
  HANDLE out = g_reply != INVALID_HANDLE_VALUE ? g_reply : GetStdHandle(STD_OUTPUT_HANDLE);
  while (!bytes.empty()) {
    DWORD chunk = bytes.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(out, bytes.data(), chunk, &written, nullptr)) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace corvane::platform
