// Standard streams as hosts hand them over on Windows: pipes that deliver
// empty reads and partial messages, and one handle for several streams.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/input_read.h"
#include "platform/process_test_support.h"

namespace corvane::platform {
namespace {

TEST(InputReadTest, OnlyTheEndOfThePipeOrFileEndsTheInput) {
  struct Case {
    const char* name;
    std::vector<InputRead> answers;  // what each ReadFile call gives, in turn
    bool empty_read_ends;
    long expected;
    std::size_t calls;
  };
  const InputRead empty{true, 0, 0};
  const Case cases[] = {
      {"bytes", {{true, 5, 0}}, false, 5, 1},
      {"zero-length writes, then bytes", {empty, empty, {true, 3, 0}}, false, 3, 3},
      {"an empty read of a file", {empty, {true, 3, 0}}, true, 0, 1},
      {"part of a longer message", {{false, 16, ERROR_MORE_DATA}}, false, 16, 1},
      {"more data, none yet", {{false, 0, ERROR_MORE_DATA}, {true, 2, 0}}, false, 2, 2},
      {"writer gone", {empty, {false, 0, ERROR_BROKEN_PIPE}}, false, 0, 2},
      {"end of file", {{false, 0, ERROR_HANDLE_EOF}}, true, 0, 1},
      {"a real failure", {{false, 0, ERROR_INVALID_HANDLE}}, false, -1, 1},
      {"refused", {{false, 0, ERROR_ACCESS_DENIED}}, false, -1, 1},
  };
  char buffer[16];
  for (const Case& c : cases) {
    std::size_t calls = 0;
    auto read = [&](char*, std::uint32_t want) {
      EXPECT_EQ(want, sizeof buffer) << c.name;
      return c.answers.at(calls++);
    };
    EXPECT_EQ(read_input(read, c.empty_read_ends, buffer, sizeof buffer), c.expected) << c.name;
    EXPECT_EQ(calls, c.calls) << c.name;
  }
  // A peer that only ever answers with nothing is gone, not waited on.
  std::size_t calls = 0;
  auto nothing = [&](char*, std::uint32_t) {
    ++calls;
    return empty;
  };
  EXPECT_EQ(read_input(nothing, false, buffer, sizeof buffer), 0);
  EXPECT_EQ(calls, static_cast<std::size_t>(kMaxEmptyReads));
}

// Reads from `pipe` until `size` bytes have come or a few seconds passed.
std::string read_back(HANDLE pipe, std::size_t size) {
  std::string out;
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (out.size() < size && std::chrono::steady_clock::now() < give_up) {
    DWORD pending = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &pending, nullptr)) break;
    if (pending == 0) {
      Sleep(5);
      continue;
    }
    std::string chunk(pending, '\0');
    DWORD got = 0;
    if (!ReadFile(pipe, chunk.data(), pending, &got, nullptr) && GetLastError() != ERROR_MORE_DATA)
      break;
    out.append(chunk.data(), got);
  }
  return out;
}

TEST(SharedStreamTest, OneDuplexPipeAsInputAndOutputCarriesEmptyAndLongMessages) {
  std::wstring name = L"\\\\.\\pipe\\corvane-stdio-" + std::to_wstring(GetCurrentProcessId());
  HANDLE host =
      CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                       1, 65536, 65536, 0, nullptr);
  ASSERT_NE(host, INVALID_HANDLE_VALUE);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE server = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(SetNamedPipeHandleState(server, &mode, nullptr, nullptr));

  // The same handle value for input and output, as some hosts give. (Wine's
  // C runtime never closes a handle that output and error share, so error
  // gets one of its own here.)
  HANDLE error = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
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
  WriteFile(host, "one\n", 4, &written, nullptr);
  EXPECT_EQ(read_back(host, 4), "one\n");
  WriteFile(host, "", 0, &written, nullptr);  // an empty message: not the end
  std::string message(100, 'x');
  message.back() = '\n';
  WriteFile(host, message.data(), static_cast<DWORD>(message.size()), &written,
            nullptr);  // over 16 bytes
  EXPECT_EQ(read_back(host, message.size()), message);

  CloseHandle(host);
  ASSERT_EQ(WaitForSingleObject(child.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  EXPECT_EQ(code, 0u) << "0: end of input; 2: a read error";
  CloseHandle(child.hProcess);
}

}  // namespace
}  // namespace corvane::platform
