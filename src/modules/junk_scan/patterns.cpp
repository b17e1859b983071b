#include "modules/junk_scan/patterns.h"

#include "platform/text.h"

namespace corvane::junk_scan {

NamePattern::NamePattern(std::string_view pattern)
    : suffix_(pattern.size() > 1 && pattern.starts_with("*.")),
      text_(suffix_ ? platform::lower_case_unicode(pattern.substr(1)) : std::string(pattern)),
      ascii_suffix_(platform::is_ascii(text_)) {}

bool NamePattern::matches(std::string_view name) const {
  if (!suffix_) return platform::equal_ignoring_ascii_case(name, text_);
  // An ASCII name lower-cases by folding A to Z alone; only other names
  // need the full mapping (a Kelvin sign, for one, lower-cases to 'k').
  if (ascii_suffix_ && platform::is_ascii(name)) {
    return name.size() >= text_.size() &&
           platform::equal_ignoring_ascii_case(name.substr(name.size() - text_.size()), text_);
  }
  return platform::lower_case_unicode(name).ends_with(text_);
}

}  // namespace corvane::junk_scan
