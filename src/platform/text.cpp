#include "platform/text.h"

#include <cstdint>

namespace corvane::platform {

namespace {

// Decodes one code point at `bytes[i]`. On success returns its length and
// sets `cp`; on failure returns the length of the maximal ill-formed
// subsequence (at least 1), following the Unicode "substitution of maximal
// subparts" practice.
// With `surrogates`, an encoded surrogate (WTF-8) decodes like any other
// code point.
std::size_t decode_one(std::string_view bytes, std::size_t i, char32_t& cp, bool& ok, bool surrogates = false) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  unsigned char b0 = byte(i);
  ok = false;
  if (b0 < 0x80) {
    cp = b0;
    ok = true;
    return 1;
  }
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED && !surrogates) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  std::size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= bytes.size()) return k;
    unsigned char b = byte(i + k);
    if (b < lo || b > hi) return k;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  ok = true;
  return k;
}

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

constexpr char32_t kReplacement = 0xFFFD;

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
      append_utf8(out, kReplacement);
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
    char32_t cp;
    bool ok;
    i += decode_one(text, i, cp, ok, surrogates);
    if (!ok) cp = kReplacement;
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp;
    bool ok;
    i += decode_one(bytes, i, cp, ok);
    if (!ok) return false;
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp;
    bool ok;
    std::size_t n = decode_one(bytes, i, cp, ok);
    if (ok) {
      out.append(bytes.substr(i, n));
    } else {
      append_utf8(out, kReplacement);
    }
    i += n;
  }
  return out;
}

std::string utf8_from_utf16(std::u16string_view text) { return from_utf16(text, false); }

std::u16string utf16_from_utf8(std::string_view text) { return to_utf16(text, false); }

std::string wtf8_from_utf16(std::u16string_view text) { return from_utf16(text, true); }

std::u16string utf16_from_wtf8(std::string_view text) { return to_utf16(text, true); }

std::string utf8_from_wtf8(std::string_view text) {
  if (is_valid_utf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    bool ok;
    std::size_t n = decode_one(text, i, cp, ok, true);
    if (ok && !is_surrogate(cp)) {
      out.append(text.substr(i, n));
    } else {
      append_utf8(out, kReplacement);
    }
    i += n;
  }
  return out;
}

}  // namespace corvane::platform
