// Reading a file's contents and nothing else: no write, truncate or
// time-setting call is ever made, so these may run on many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/result.h"

namespace corvane::platform {

// An open read-only handle, closed by its destructor.
class ReadHandle {
 public:
  ReadHandle(ReadHandle&& other) noexcept;
  ReadHandle& operator=(ReadHandle&& other) noexcept;
  ~ReadHandle();
  ReadHandle(const ReadHandle&) = delete;
  ReadHandle& operator=(const ReadHandle&) = delete;

  // Reads up to `capacity` bytes at the current position: the count read,
  // 0 at the end, -1 on failure (a directory's handle fails here), with the
  // system's last error set.
  std::int64_t read(void* buffer, std::size_t capacity);
  // Moves to `offset` from the start; false on failure.
  bool seek(std::uint64_t offset);

  struct Native;  // the platform's handle

 private:
  friend Result<ReadHandle> open_for_read(std::string_view path);
  explicit ReadHandle(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

// Opens `path` for reading: shared with readers and writers but not with
// deletion on Windows; O_NOATIME where the kernel allows it, and never
// blocking on a FIFO, on POSIX. A directory opens (reading it gives
// nothing). Failure: the system's error text ("not found" for a path
// holding a NUL).
Result<ReadHandle> open_for_read(std::string_view path);

}  // namespace corvane::platform
