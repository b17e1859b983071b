// How the answers of the system's read calls become read_stdin's on
// Windows, apart from the calls themselves so that tests can script them.
// Windows builds only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace corvane::platform {

// One ReadFile call's outcome: whether it succeeded, the bytes it read
// (also on ERROR_MORE_DATA) and, on failure, GetLastError.
struct InputRead {
  bool succeeded = false;
  std::uint32_t count = 0;
  std::uint32_t error = 0;
};

// A peer that answers nothing but empty reads this many times in a row is
// taken as gone, so that a read can never spin for ever.
inline constexpr int kMaxEmptyReads = 4096;

// read_stdin's result from calls of `read` (which fills the buffer it is
// given, up to the count): the bytes of the first read that has some; 0
// at the end of input (ERROR_BROKEN_PIPE, ERROR_HANDLE_EOF, or an empty
// successful read when `empty_read_ends`); -1 on any other error. Where
// the input is a pipe, an empty successful read is a writer's zero-length
// write and ERROR_MORE_DATA a message longer than the buffer: both are
// read on.
long read_input(const std::function<InputRead(char*, std::uint32_t)>& read, bool empty_read_ends,
                char* buffer, std::size_t capacity);

}  // namespace corvane::platform
