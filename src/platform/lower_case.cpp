// Full Unicode lower-casing, from the table gen_lower_case_table.py writes.
#include <algorithm>
#include <cstdint>
#include <iterator>

#include "platform/text.h"

namespace corvane::platform {

namespace {

struct LowerRun {
  char32_t first, last;
  std::int32_t delta;
  std::int32_t stride;
};
struct LowerSpecial {
  char32_t code;
  char32_t lower[3];
};
struct CodeRange {
  char32_t first, last;
};

#include "platform/lower_case_table.inc"

constexpr char32_t kCapitalSigma = U'\u03A3';
constexpr char32_t kSmallSigma = U'\u03C3';
constexpr char32_t kFinalSigma = U'\u03C2';

template <std::size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t cp) {
  auto it = std::upper_bound(std::begin(table), std::end(table), cp,
                             [](char32_t c, const CodeRange& r) { return c < r.first; });
  return it != std::begin(table) && cp <= (it - 1)->last;
}

char32_t simple_lower(char32_t cp) {
  auto end = std::end(kLowerRuns);
  auto it = std::upper_bound(std::begin(kLowerRuns), end, cp,
                             [](char32_t c, const LowerRun& r) { return c < r.first; });
  if (it == std::begin(kLowerRuns)) return cp;
  const LowerRun& run = *(it - 1);
  if (cp > run.last || (cp - run.first) % run.stride != 0) return cp;
  return static_cast<char32_t>(static_cast<std::int32_t>(cp) + run.delta);
}

bool is_cased(const Utf8Unit& unit) { return unit.well_formed && in_ranges(kCasedRanges, unit.code_point); }
bool is_case_ignorable(const Utf8Unit& unit) {
  return unit.well_formed && in_ranges(kCaseIgnorableRanges, unit.code_point);
}

// Whether the first unit from `at` on that is not case-ignorable is cased
// (false at the end of the text).
bool cased_after(std::string_view text, std::size_t at) {
  while (at < text.size()) {
    Utf8Unit unit = next_code_point(text, at);
    if (!is_case_ignorable(unit)) return is_cased(unit);
    at += unit.length;
  }
  return false;
}

// The final-sigma context before a position, worked out only when a capital
// sigma needs it and never over the same text twice: whether the last unit
// that is not case-ignorable was cased.
class CasedBefore {
 public:
  explicit CasedBefore(std::string_view text) : text_(text) {}

  bool at(std::size_t position) {
    while (scanned_ < position) {
      Utf8Unit unit = next_code_point(text_, scanned_);
      if (!is_case_ignorable(unit)) cased_ = is_cased(unit);
      scanned_ += unit.length;
    }
    return cased_;
  }

 private:
  std::string_view text_;
  std::size_t scanned_ = 0;
  bool cased_ = false;
};

}  // namespace

std::string lower_case_unicode(std::string_view text) {
  if (is_ascii(text)) return lower_case_ascii(text);
  std::string out;
  out.reserve(text.size());
  CasedBefore cased_before(text);
  for (std::size_t at = 0; at < text.size();) {
    Utf8Unit unit = next_code_point(text, at);
    char32_t cp = unit.code_point;
    if (!unit.well_formed) {
      out.append(text.substr(at, unit.length));
    } else if (cp < 0x80) {
      out += lower_case_ascii(static_cast<char>(cp));
    } else if (cp == kCapitalSigma) {
      bool final = cased_before.at(at) && !cased_after(text, at + unit.length);
      append_utf8(out, final ? kFinalSigma : kSmallSigma);
    } else if (auto special = std::find_if(std::begin(kLowerSpecials), std::end(kLowerSpecials),
                                           [&](const LowerSpecial& s) { return s.code == cp; });
               special != std::end(kLowerSpecials)) {
      for (char32_t c : special->lower) {
        if (c != 0) append_utf8(out, c);
      }
    } else {
      append_utf8(out, simple_lower(cp));
    }
    at += unit.length;
  }
  return out;
}

}  // namespace corvane::platform
