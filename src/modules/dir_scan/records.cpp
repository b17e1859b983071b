#include "modules/dir_scan/records.h"

#include <algorithm>

namespace corvane::dir_scan {

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

#include "modules/dir_scan/lower_case_table.inc"

constexpr char32_t kCapitalSigma = 0x3A3;

bool in_ranges(const CodeRange* begin, const CodeRange* end, char32_t cp) {
  auto it = std::upper_bound(begin, end, cp, [](char32_t c, const CodeRange& r) { return c < r.first; });
  return it != begin && cp <= (it - 1)->last;
}
template <std::size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t cp) {
  return in_ranges(table, table + N, cp);
}

char32_t simple_lower(char32_t cp) {
  auto end = std::end(kLowerRuns);
  auto it = std::upper_bound(std::begin(kLowerRuns), end, cp, [](char32_t c, const LowerRun& r) { return c < r.first; });
  if (it == std::begin(kLowerRuns)) return cp;
  const LowerRun& run = *(it - 1);
  if (cp > run.last || (cp - run.first) % run.stride != 0) return cp;
  return static_cast<char32_t>(static_cast<std::int32_t>(cp) + run.delta);
}

// Decodes UTF-8 into code points; ill-formed bytes are kept as negative
// markers so they come back out unchanged.
std::vector<std::int32_t> decode(std::string_view text) {
  std::vector<std::int32_t> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto b = static_cast<unsigned char>(text[i]);
    std::size_t n = b < 0x80 ? 1 : b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b <= 0xDF ? 2 : 0;
    bool ok = n != 0 && i + n <= text.size();
    std::int32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; ok && k < n; ++k) {
      auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) {
      out.push_back(-static_cast<std::int32_t>(b) - 1);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += n;
  }
  return out;
}

void encode(std::string& out, std::int32_t cp) {
  if (cp < 0) {
    out += static_cast<char>(-(cp + 1));
  } else if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_cased(std::int32_t cp) { return cp >= 0 && in_ranges(kCasedRanges, static_cast<char32_t>(cp)); }
bool is_case_ignorable(std::int32_t cp) {
  return cp >= 0 && in_ranges(kCaseIgnorableRanges, static_cast<char32_t>(cp));
}

// Capital sigma becomes final sigma after a cased letter and not before one
// (case-ignorable characters skipped on both sides).
bool is_final_sigma(const std::vector<std::int32_t>& cps, std::size_t i) {
  std::size_t j = i;
  bool before = false;
  while (j > 0) {
    std::int32_t c = cps[--j];
    if (is_case_ignorable(c)) continue;
    before = is_cased(c);
    break;
  }
  if (!before) return false;
  for (std::size_t k = i + 1; k < cps.size(); ++k) {
    if (is_case_ignorable(cps[k])) continue;
    return !is_cased(cps[k]);
  }
  return true;
}

}  // namespace

std::string to_lower(std::string_view text) {
  bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  std::string out;
  out.reserve(text.size());
  if (ascii) {
    for (char c : text) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return out;
  }
  std::vector<std::int32_t> cps = decode(text);
  for (std::size_t i = 0; i < cps.size(); ++i) {
    std::int32_t cp = cps[i];
    if (cp < 0) {
      encode(out, cp);
      continue;
    }
    if (static_cast<char32_t>(cp) == kCapitalSigma) {
      encode(out, is_final_sigma(cps, i) ? 0x3C2 : 0x3C3);
      continue;
    }
    const LowerSpecial* special = nullptr;
    for (const LowerSpecial& s : kLowerSpecials) {
      if (s.code == static_cast<char32_t>(cp)) special = &s;
    }
    if (special != nullptr) {
      for (char32_t c : special->lower) {
        if (c != 0) encode(out, static_cast<std::int32_t>(c));
      }
      continue;
    }
    encode(out, static_cast<std::int32_t>(simple_lower(static_cast<char32_t>(cp))));
  }
  return out;
}

std::int64_t unix_seconds(std::int64_t filetime) {
  constexpr std::int64_t kEpoch = 116'444'736'000'000'000;
  return filetime >= kEpoch ? (filetime - kEpoch) / 10'000'000 : 0;
}

std::optional<std::string> extension_of(std::string_view name) {
  if (name.empty() || name == "..") return std::nullopt;
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return to_lower(name.substr(dot + 1));
}

ExcludeList::ExcludeList(const std::vector<std::string>& exclude_paths) {
  for (const std::string& raw : exclude_paths) {
    std::string_view text = raw;
    while (!text.empty() && (text.back() == '\\' || text.back() == '/')) text.remove_suffix(1);
    if (text.empty()) continue;
    entries_.push_back(to_lower(text));
  }
}

bool ExcludeList::any_prefix_of(std::string_view lowered_path) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const std::string& e) { return lowered_path.starts_with(e); });
}

bool ExcludeList::any_inside(std::string_view lowered_path) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const std::string& e) { return lowered_path.find(e) != std::string_view::npos; });
}

}  // namespace corvane::dir_scan
