#include "modules/disk_info/lossy_text.h"

#include <cstdint>

namespace corvane::disk_info {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

void append_code_point(std::string& out, std::uint32_t cp) {
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

// Length of the well-formed sequence at `i`, or 0 with `bad` set to the
// length of the maximal ill-formed prefix to replace (at least 1).
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t& bad) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = b(i);
  std::size_t need = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    bool in_range = i + k < s.size() && b(i + k) >= (k == 1 ? low : 0x80) && b(i + k) <= (k == 1 ? high : 0xBF);
    if (!in_range) {
      bad = k;
      return 0;
    }
  }
  return need + 1;
}

std::size_t white_space_length_at(std::string_view s, std::size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20) return 1;
  auto starts = [&](std::string_view seq) { return s.substr(i, seq.size()) == seq; };
  // U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
  if (starts("\xC2\x85") || starts("\xC2\xA0")) return 2;
  if (starts("\xE1\x9A\x80") || starts("\xE3\x80\x80") || starts("\xE2\x81\x9F")) return 3;
  if (i + 2 < s.size() && c == 0xE2 && static_cast<unsigned char>(s[i + 1]) == 0x80) {
    unsigned char t = static_cast<unsigned char>(s[i + 2]);
    if (t <= 0x8A || t == 0xA8 || t == 0xA9 || t == 0xAF) return 3;
  }
  return 0;
}

// Start of the UTF-8 character that ends just before `end`.
std::size_t previous_start(std::string_view s, std::size_t end) {
  std::size_t i = end - 1;
  while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80 && end - i < 4) --i;
  return i;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t bad = 0;
    std::size_t length = sequence_length(bytes, i, bad);
    if (length > 0) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      out += kReplacement;
      i += bad;
    }
  }
  return out;
}

std::string utf16_lossy(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      append_code_point(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      out += kReplacement;
    } else {
      append_code_point(out, unit);
    }
  }
  return out;
}

std::string_view trim_unicode_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t length = white_space_length_at(text, begin);
    if (length == 0) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = previous_start(text, end);
    if (white_space_length_at(text, start) != end - start) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string lower_for_matching(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c - 'A' + 'a');
    } else if (text.substr(i, 3) == "\xE2\x84\xAA") {  // KELVIN SIGN
      out += 'k';
      i += 2;
    } else if (text.substr(i, 2) == "\xC4\xB0") {  // LATIN CAPITAL LETTER I WITH DOT ABOVE
      out += "i\xCC\x87";
      i += 1;
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string_view> output_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (true) {
    std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(trim_unicode_space(line));
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (true) {
    std::size_t bar = line.find('|');
    fields.push_back(line.substr(0, bar));
    if (bar == std::string_view::npos) break;
    line.remove_prefix(bar + 1);
  }
  return fields;
}

}  // namespace corvane::disk_info
