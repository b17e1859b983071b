#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>
#if __has_include(<sys/sysmacros.h>)
#include <sys/sysmacros.h>  // major() and minor() with glibc
#endif

#include "platform/long_path_posix.h"
#include "platform/path.h"
#include "platform/system_files.h"

namespace corvane::platform {

Result<std::string> read_link(std::string_view path) {
  Result<std::string> text = c_path(path);
  if (!text.ok()) return make_error(text.error());
  std::string target(256, '\0');
  for (;;) {
    ssize_t got = ::readlink(text->c_str(), target.data(), target.size());
    if (got < 0) return make_error(last_os_error_text());
    // A target that fills the buffer may have been cut.
    if (static_cast<std::size_t>(got) < target.size()) {
      target.resize(static_cast<std::size_t>(got));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

Result<FileSystemSpace> file_system_space(std::string_view path) {
  Result<std::string> text = c_path(path);
  if (!text.ok()) return make_error(text.error());
  struct statvfs space {};
  if (::statvfs(text->c_str(), &space) != 0) return make_error(last_os_error_text());
  return FileSystemSpace{static_cast<std::uint64_t>(space.f_blocks) * space.f_frsize,
                         static_cast<std::uint64_t>(space.f_bfree) * space.f_frsize};
}

std::optional<DeviceNumber> block_device_number(std::string_view path) {
  Result<std::string> text = c_path(path);
  struct stat info {};
  if (!text.ok() || ::stat(text->c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) return std::nullopt;
  return DeviceNumber{static_cast<unsigned>(major(info.st_rdev)), static_cast<unsigned>(minor(info.st_rdev))};
}

}  // namespace corvane::platform
