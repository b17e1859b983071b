// The name rules of the catalogue's patterns, prepared once per scan.
#pragma once

#include <string>
#include <string_view>

namespace corvane::junk_scan {

// Equal length, and equal when only ASCII letters A to Z are folded.
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);

class NamePattern {
 public:
  // "*.ext" (longer than one character): the name, fully lower-cased, ends
  // in "." + "ext" lower-cased, so "*.dmp" matches crash.DMP and ".dmp".
  // Anything else: equal_ignoring_ascii_case with the whole name.
  explicit NamePattern(std::string_view pattern);

  // `name` is UTF-8 (names that were not are already in their lossy form).
  bool matches(std::string_view name) const;

 private:
  bool suffix_;
  std::string text_;  // ".ext" lower-cased, or the pattern as written
  bool ascii_suffix_;
};

}  // namespace corvane::junk_scan
