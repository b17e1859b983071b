// What the system publishes as files (/proc tables, sysfs attributes,
// udev's links, device nodes), read for the disk tools. User files are read
// through fs_noatime instead.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace corvane::platform {

// Every byte of the file, read until the system says the end (pseudo-files
// report no size). Error: the system's text, also when a read fails (a
// directory, say).
Result<std::string> read_small_file(std::string_view path);

// The names in the directory (a link to one is followed), as the system
// spells them, in listing order; "." and ".." never appear. Entries a walk
// would skip are left out; nothing when it cannot be listed.
std::vector<std::string> directory_names(std::string_view path);

// POSIX builds only, the rest of this file: Windows has volume functions
// of its own.

// The target text of the symbolic link at `path`, unresolved. Error: the
// system's text.
Result<std::string> read_link(std::string_view path);

struct FileSystemSpace {
  std::uint64_t total_bytes = 0;
  std::uint64_t free_bytes = 0;  // free to a privileged process
};
// The size of the file system holding `path` (statvfs: blocks times the
// fragment size). Error: the system's text.
Result<FileSystemSpace> file_system_space(std::string_view path);

struct DeviceNumber {
  unsigned major = 0;
  unsigned minor = 0;
  bool operator==(const DeviceNumber&) const = default;
};
// The device a block device node stands for, following links; nullopt when
// `path` names no block device.
std::optional<DeviceNumber> block_device_number(std::string_view path);

}  // namespace corvane::platform
