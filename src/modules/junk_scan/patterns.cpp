#include "modules/junk_scan/patterns.h"

#include <algorithm>

#include "modules/dir_scan/records.h"

namespace corvane::junk_scan {

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }
bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

NamePattern::NamePattern(std::string_view pattern)
    : suffix_(pattern.size() > 1 && pattern.starts_with("*.")),
      text_(suffix_ ? dir_scan::to_lower(pattern.substr(1)) : std::string(pattern)),
      ascii_suffix_(is_ascii(text_)) {}

bool NamePattern::matches(std::string_view name) const {
  if (!suffix_) return equal_ignoring_ascii_case(name, text_);
  // An ASCII name lower-cases by folding A to Z alone; only other names
  // need the full mapping (a Kelvin sign, for one, lower-cases to 'k').
  if (ascii_suffix_ && is_ascii(name)) {
    return name.size() >= text_.size() && equal_ignoring_ascii_case(name.substr(name.size() - text_.size()), text_);
  }
  return dir_scan::to_lower(name).ends_with(text_);
}

}  // namespace corvane::junk_scan
