#include "platform/text.h"

#include <cstdint>
#include <cstring>

namespace corvane::platform {

namespace {

// The unit at `text[at]`, as next_code_point defines it. With `surrogates`,
// an encoded surrogate (WTF-8) decodes like any other code point.
Utf8Unit decode(std::string_view text, std::size_t at, bool surrogates) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(at);
  if (lead < 0x80) return Utf8Unit{lead, 1, true};
  std::size_t need;
  char32_t cp;
  // The second byte's range excludes overlongs, surrogates and code points
  // above U+10FFFF; every later byte is any continuation byte.
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED && !surrogates) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return Utf8Unit{};
  }
  std::size_t k = 1;
  for (; k <= need; ++k) {
    if (at + k >= text.size()) return Utf8Unit{kReplacementCharacter, k, false};
    unsigned char b = byte(at + k);
    if (b < lo || b > hi) return Utf8Unit{kReplacementCharacter, k, false};
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return Utf8Unit{cp, k, true};
}

// The length of the ASCII run that `text` starts with. Eight bytes at a time:
// runs of ASCII are by far the common case.
std::size_t ascii_prefix(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & 0x8080808080808080ULL) break;
    p += 8;
  }
  while (p < end && static_cast<unsigned char>(*p) < 0x80) ++p;
  return static_cast<std::size_t>(p - text.data());
}

bool is_surrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

std::string from_utf16(std::u16string_view text, bool keep_unpaired) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (is_surrogate(unit) && !keep_unpaired) {
      append_utf8(out, kReplacementCharacter);
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

std::u16string to_utf16(std::string_view text, bool surrogates) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    Utf8Unit unit = decode(text, i, surrogates);
    i += unit.length;
    char32_t cp = unit.code_point;
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

// `text` with every unit that `keep` refuses replaced by U+FFFD.
template <typename Keep>
std::string replacing(std::string_view text, bool surrogates, Keep keep) {
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size();) {
    Utf8Unit unit = decode(text, i, surrogates);
    if (keep(unit)) {
      out.append(text.substr(i, unit.length));
    } else {
      append_utf8(out, kReplacementCharacter);
    }
    i += unit.length;
  }
  return out;
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

Utf8Unit next_code_point(std::string_view text, std::size_t at) { return decode(text, at, false); }

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
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

bool is_valid_utf8(std::string_view bytes) {
  std::size_t at = 0;
  while (true) {
    at += ascii_prefix(bytes.substr(at));
    if (at == bytes.size()) return true;
    Utf8Unit unit = next_code_point(bytes, at);
    if (!unit.well_formed) return false;
    at += unit.length;
  }
}

bool is_ascii(std::string_view text) { return ascii_prefix(text) == text.size(); }

std::string lossy_utf8(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  return replacing(bytes, false, [](const Utf8Unit& unit) { return unit.well_formed; });
}

std::string utf8_from_utf16(std::u16string_view text) { return from_utf16(text, false); }

std::u16string utf16_from_utf8(std::string_view text) { return to_utf16(text, false); }

std::string wtf8_from_utf16(std::u16string_view text) { return from_utf16(text, true); }

std::u16string utf16_from_wtf8(std::string_view text) { return to_utf16(text, true); }

std::string utf8_from_wtf8(std::string_view text) {
  if (is_valid_utf8(text)) return std::string(text);
  return replacing(text, true,
                   [](const Utf8Unit& unit) { return unit.well_formed && !is_surrogate(unit.code_point); });
}

bool is_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    Utf8Unit unit = next_code_point(text, begin);
    if (!unit.well_formed || !is_white_space(unit.code_point)) break;
    begin += unit.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // The last character starts at most three continuation bytes back.
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 && is_continuation(text[start])) --start;
    Utf8Unit unit = next_code_point(text, start);
    if (!unit.well_formed || start + unit.length != end || !is_white_space(unit.code_point)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string lower_case_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower_case_ascii(c);
  return out;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower_case_ascii(a[i]) != lower_case_ascii(b[i])) return false;
  }
  return true;
}

}  // namespace corvane::platform
