#include "platform/system_files.h"

#include "platform/dir_walk.h"
#include "platform/file_read.h"
#include "platform/path.h"

namespace corvane::platform {

Result<std::string> read_small_file(std::string_view path) {
  Result<ReadHandle> handle = open_for_read(path);
  if (!handle.ok()) return make_error(handle.error());
  std::string text;
  char buffer[4096];
  for (;;) {
    std::int64_t got = handle->read(buffer, sizeof buffer);
    if (got < 0) return make_error(last_os_error_text());
    if (got == 0) return text;
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

std::vector<std::string> directory_names(std::string_view path) {
  std::vector<std::string> names;
  DirectoryWalk walk(std::string(path), WalkOptions{.max_depth = 1});
  while (walk.next()) names.emplace_back(walk.raw_name());
  return names;
}

}  // namespace corvane::platform
