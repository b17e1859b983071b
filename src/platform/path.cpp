#include "platform/path.h"

namespace corvane::platform {

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (join_needs_separator(dir)) out += kPathSeparator;
  out += name;
  return out;
}

std::string strip_verbatim_prefix(std::string_view text) {
  constexpr std::string_view kUnc = "\\\\?\\UNC\\";
  constexpr std::string_view kVerbatim = "\\\\?\\";
  if (text.starts_with(kUnc)) return "\\\\" + std::string(text.substr(kUnc.size()));
  if (text.starts_with(kVerbatim)) return std::string(text.substr(kVerbatim.size()));
  return std::string(text);
}

}  // namespace corvane::platform
