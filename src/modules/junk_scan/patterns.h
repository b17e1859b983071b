// The junk pattern rule, each pattern prepared once per scan.
#pragma once

#include <string>
#include <string_view>

namespace corvane::junk_scan {

class NamePattern {
 public:
  // "*.ext" (longer than one character): the name, fully lower-cased, ends
  // in "." + "ext" fully lower-cased, so "*.dmp" matches crash.DMP and
  // ".dmp". Anything else: the whole name, platform::equal_ignoring_ascii_case.
  explicit NamePattern(std::string_view pattern);

  // `name` is UTF-8 (names that were not are already in their lossy form).
  bool matches(std::string_view name) const;

 private:
  bool suffix_;
  std::string text_;  // ".ext" lower-cased, or the pattern as written
  bool ascii_suffix_;
};

}  // namespace corvane::junk_scan
