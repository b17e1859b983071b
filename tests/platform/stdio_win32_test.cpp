// Standard streams as hosts hand them over on Windows: pipes that deliver
// empty reads and partial messages, and one handle for several streams.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/input_read.h"
#include "platform/process_test_support.h"

namespace corvane::platform {
namespace {

TEST(InputReadTest, OnlyTheEndOfThePipeOrFileEndsTheInput) {
  const InputRead empty{true, 0, 0};
  struct Case {
    std::vector<InputRead> answers;  // of each ReadFile call, in turn
    bool empty_read_ends;
    long expected;
  };
  const Case cases[] = {
      {{empty, empty, {true, 3, 0}}, false, 3},                 // zero-length writes, then bytes
      {{empty}, true, 0},                                       // the end of a file
      {{{false, 16, ERROR_MORE_DATA}}, false, 16},              // part of a longer message
      {{{false, 0, ERROR_MORE_DATA}, {true, 2, 0}}, false, 2},  // more to come, none yet
      {{empty, {false, 0, ERROR_BROKEN_PIPE}}, false, 0},       // the writer has gone
      {{{false, 0, ERROR_HANDLE_EOF}}, false, 0},
      {{{false, 0, ERROR_INVALID_HANDLE}}, false, -1},
  };
  char buffer[16];
  for (const Case& c : cases) {
    std::size_t calls = 0;
    auto read = [&](char*, std::uint32_t) { return c.answers.at(calls++); };
    EXPECT_EQ(read_input(read, c.empty_read_ends, buffer, sizeof buffer), c.expected)
        << c.answers.size();
    EXPECT_EQ(calls, c.answers.size());
  }
  // A peer that only ever answers with nothing is gone, not waited on.
  EXPECT_EQ(read_input([&](char*, std::uint32_t) { return empty; }, false, buffer, sizeof buffer),
            0);
}

// Reads from `pipe` until `size` bytes have come or ten seconds passed.
std::string read_back(HANDLE pipe, std::size_t size) {
  std::string out;
  for (int waits = 0; out.size() < size && waits < 2000; ++waits) {
    DWORD pending = 0, got = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &pending, nullptr)) break;
    std::string chunk(pending, '\0');
    if (pending == 0) Sleep(5);
    if (pending > 0 && (ReadFile(pipe, chunk.data(), pending, &got, nullptr) ||
                        GetLastError() == ERROR_MORE_DATA)) {
      out.append(chunk.data(), got);
    }
  }
  return out;
}

TEST(SharedStreamTest, OneDuplexPipeAsInputAndOutputCarriesEmptyAndLongMessages) {
  std::wstring name = L"\\\\.\\pipe\\corvane-stdio-" + std::to_wstring(GetCurrentProcessId());
  HANDLE host =
      CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                       1, 65536, 65536, 0, nullptr);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE server = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit,
                              OPEN_EXISTING, 0, nullptr);
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(host != INVALID_HANDLE_VALUE &&
              SetNamedPipeHandleState(server, &mode, nullptr, nullptr));
  // One handle value for input and output, as some hosts give. (Wine's C
  // runtime never closes a handle that output and error share, so error
  // gets one of its own.)
  HANDLE error = CreateFileW(L"NUL", GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  const std::string path = test::built_program("stdio_child");
  std::wstring program = L"\"" + std::wstring(path.begin(), path.end()) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = server;
  startup.hStdError = error;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessW(nullptr, program.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &child));
  CloseHandle(server);
  CloseHandle(error);
  CloseHandle(child.hThread);

  DWORD written = 0;
  std::string message = std::string(99, 'x') + "\n";  // longer than the child's 16-byte reads
  WriteFile(host, "one\n", 4, &written, nullptr);
  EXPECT_EQ(read_back(host, 4), "one\n");
  WriteFile(host, "", 0, &written, nullptr);  // an empty message: not the end
  WriteFile(host, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
  EXPECT_EQ(read_back(host, message.size()), message);
  CloseHandle(host);
  DWORD code = 1;
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 10000), WAIT_OBJECT_0);
  GetExitCodeProcess(child.hProcess, &code);
  EXPECT_EQ(code, 0u) << "0: end of input; 2: a read error";
  CloseHandle(child.hProcess);
}

}  // namespace
}  // namespace corvane::platform
