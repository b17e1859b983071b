#include "modules/dir_scan/records.h"

#include <algorithm>

#include "platform/text.h"

namespace corvane::dir_scan {

std::int64_t unix_seconds(std::int64_t filetime) {
  constexpr std::int64_t kEpoch = 116'444'736'000'000'000;
  return filetime >= kEpoch ? (filetime - kEpoch) / 10'000'000 : 0;
}

std::optional<std::string> extension_of(std::string_view name) {
  if (name.empty() || name == "..") return std::nullopt;
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return platform::lower_case_unicode(name.substr(dot + 1));
}

std::string lowered_path(std::string_view path) { return platform::lower_case_unicode(path); }

ExcludeList::ExcludeList(const std::vector<std::string>& exclude_paths) {
  for (const std::string& raw : exclude_paths) {
    std::string_view text = raw;
    while (!text.empty() && (text.back() == '\\' || text.back() == '/')) text.remove_suffix(1);
    if (text.empty()) continue;
    entries_.push_back(platform::lower_case_unicode(text));
  }
}

bool ExcludeList::any_prefix_of(std::string_view lowered) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const std::string& e) { return lowered.starts_with(e); });
}

bool ExcludeList::any_inside(std::string_view lowered) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const std::string& e) { return lowered.find(e) != std::string_view::npos; });
}

}  // namespace corvane::dir_scan
