#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "platform/input_read.h"
#include "platform/stdio.h"

namespace corvane::platform {

namespace {
// Replies go to the original standard output handle; the process's standard
// output (handle and C runtime descriptor) is pointed at NUL so that a
// library's stray print cannot reach the client.
HANDLE g_reply = INVALID_HANDLE_VALUE;

// Whether `handle` also serves standard input or error, for the system or
// for the C runtime: a host may hand one duplex pipe as input and output,
// or one handle for output and error.
bool serves_another_stream(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  for (DWORD stream : {STD_INPUT_HANDLE, STD_ERROR_HANDLE}) {
    if (GetStdHandle(stream) == handle) return true;
  }
  for (int fd : {0, 2}) {
    if (reinterpret_cast<HANDLE>(_get_osfhandle(fd)) == handle) return true;
  }
  return false;
}

// A pipe's reader sees a writer's zero-length write as an empty read;
// elsewhere (a file, the console, a socket) an empty read is the end.
bool empty_read_ends(HANDLE in) {
  return GetFileType(in) != FILE_TYPE_PIPE || !GetNamedPipeInfo(in, nullptr, nullptr, nullptr, nullptr);
}
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
  if (serves_another_stream(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))))) {
    // Redirecting descriptor 1 would close that handle under the other
    // stream (the server would lose its input and end at once). Only
    // GetStdHandle callers are pointed at NUL; descriptor 1 keeps it.
    SetStdHandle(STD_OUTPUT_HANDLE, nul);
    return;
  }
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

long read_input(const std::function<InputRead(char*, std::uint32_t)>& read, bool empty_read_ends, char* buffer,
                std::size_t capacity) {
  std::uint32_t want = capacity > 0x10000000 ? 0x10000000 : static_cast<std::uint32_t>(capacity);
  for (int empty = 0; empty < kMaxEmptyReads; ++empty) {
    InputRead got = read(buffer, want);
    if (got.count > 0 && (got.succeeded || got.error == ERROR_MORE_DATA)) return static_cast<long>(got.count);
    if (got.succeeded) {
      if (empty_read_ends) return 0;
      continue;
    }
    if (got.error == ERROR_MORE_DATA) continue;
    // A pipe whose writer has gone away, or a file read to its end.
    if (got.error == ERROR_BROKEN_PIPE || got.error == ERROR_HANDLE_EOF) return 0;
    return -1;
  }
  return 0;
}

// A host could set a pipe to PIPE_NOWAIT, the non-blocking mode kept for
// LAN Manager 2.0; none is known to. Its empty read would fail with
// ERROR_NO_DATA and end the input as a read error; a full pipe makes
// WriteFile report fewer bytes, which write_stdout writes again.
long read_stdin(char* buffer, std::size_t capacity) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  auto read = [in](char* into, std::uint32_t want) {
    DWORD got = 0;
    BOOL ok = ReadFile(in, into, want, &got, nullptr);
    return InputRead{ok != 0, got, ok ? 0u : static_cast<std::uint32_t>(GetLastError())};
  };
  return read_input(read, empty_read_ends(in), buffer, capacity);
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
