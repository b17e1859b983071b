// Read-only access to file contents. Every operation opens its own handle
// and closes it before returning; nothing writes, truncates or sets a time,
// so these may run on many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <stop_token>
#include <string_view>
#include <vector>

#include "platform/file_read.h"
#include "platform/result.h"
#include "platform/sha256.h"

namespace corvane::fs_noatime {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kReadBufferSize = 65'536;
inline constexpr std::uint64_t kWholeSampleLimit = 1'048'576;  // read_sample reads smaller files whole
inline constexpr std::uint64_t kHashSizeLimit = 2'147'483'648;  // sha256_file_hex refuses larger files

// The handle and the digest come from platform; these operations are the
// reading rules on top of them.
using platform::open_for_read;
using platform::ReadHandle;
using platform::set_sha256_fault_for_testing;
using platform::Sha256;
using platform::Sha256Step;

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
// Once `stop` is requested, reading ends at the next block and the digest
// is of what was read (the caller, which asked for the stop, drops it).
Result<std::string> sha256_file_hex(std::string_view path, const std::stop_token& stop = {});

std::string hex_lower(const std::uint8_t* data, std::size_t size);

}  // namespace corvane::fs_noatime
