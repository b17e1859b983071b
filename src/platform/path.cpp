#include "platform/path.h"

namespace corvane::platform {

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (join_needs_separator(dir)) out += kPathSeparator;
  out += name;
  return out;
}

Error os_error(int code) { return make_error(error_code_from_os(code), os_error_text(code)); }

std::string strip_verbatim_prefix(std::string_view text) {
  constexpr std::string_view kUnc = "\\\\?\\UNC\\";
  constexpr std::string_view kVerbatim = "\\\\?\\";
  if (text.starts_with(kUnc)) return "\\\\" + std::string(text.substr(kUnc.size()));
  if (text.starts_with(kVerbatim)) return std::string(text.substr(kVerbatim.size()));
  return std::string(text);
}

bool data_not_local(std::uint32_t attributes, bool listed) {
  constexpr std::uint32_t kOffline = 0x1000;
  constexpr std::uint32_t kRecallOnOpen = 0x40000;
  constexpr std::uint32_t kRecallOnDataAccess = 0x400000;
  return (attributes & (kOffline | kRecallOnDataAccess | (listed ? kRecallOnOpen : 0))) != 0;
}

bool is_directory(std::string_view path) {
  auto meta = path_metadata(path);
  return meta.ok() && meta->kind == EntryKind::directory;
}

}  // namespace corvane::platform
