// Read-only access to file contents. Every operation opens its own handle
// and closes it before returning; nothing writes, truncates or sets a time,
// so these may run on many threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace corvane::fs_noatime {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kReadBufferSize = 65'536;
inline constexpr std::uint64_t kWholeSampleLimit = 1'048'576;  // read_sample reads smaller files whole
inline constexpr std::uint64_t kHashSizeLimit = 2'147'483'648;  // sha256_file_hex refuses larger files

// An open read-only handle, closed by its destructor.
class ReadHandle {
 public:
  ReadHandle(ReadHandle&& other) noexcept;
  ReadHandle& operator=(ReadHandle&& other) noexcept;
  ~ReadHandle();
  ReadHandle(const ReadHandle&) = delete;
  ReadHandle& operator=(const ReadHandle&) = delete;

  // Reads up to `capacity` bytes at the current position: the count read,
  // 0 at the end, -1 on failure (a directory's handle fails here).
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

// Every byte, read in 64 KiB chunks; a failed read ends the data without an
// error. Failure only when the open fails.
Result<Bytes> read_whole(std::string_view path);

// Up to `length` bytes from `offset`; past the end gives fewer bytes,
// possibly none, and no error. Failure only when the open fails.
Result<Bytes> read_range(std::string_view path, std::uint64_t offset, std::uint64_t length);

// A fingerprint sample for a file of `size` bytes (the size the caller
// knows): the whole file up to 1 MiB, else 64 KiB from the start, from the
// middle (size / 2) and from size - 64 KiB, concatenated. Failure: the
// first failing open's error.
Result<Bytes> read_sample(std::string_view path, std::uint64_t size);

// The SHA-256 of the file's contents as 64 lower-case hex digits. Errors:
// " " + path + ": " + system text when the metadata or the open fails (or
// the provider's failure text), ">2GB: " + path for files over 2 GiB.
Result<std::string> sha256_file_hex(std::string_view path);

// SHA-256 over data fed in pieces, by the platform's provider (OpenSSL EVP;
// BCrypt on Windows). Every provider call is checked and a failure is
// remembered: finish() then gives an error, never a digest that a failing
// provider left at zero (which would make every file of a size "identical").
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, std::size_t size);
  // The digest, or "SHA-256 provider failed". Once per object.
  Result<std::array<std::uint8_t, 32>> finish();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The provider calls of one digest, in order, for tests that fail one.
enum class Sha256Step { create, init, update, finish };

// Tests only: `fault` is asked before every provider call of every Sha256,
// and the call fails as a refusing provider's would when it answers true;
// an empty function restores the provider. Set it while nothing is being
// hashed; the copy finder then calls it from several threads at once.
void set_sha256_fault_for_testing(std::function<bool(Sha256Step)> fault);

// For the provider files: false when a test's fault fails `step`.
bool sha256_step_allowed(Sha256Step step);

std::string hex_lower(const std::uint8_t* data, std::size_t size);

}  // namespace corvane::fs_noatime
