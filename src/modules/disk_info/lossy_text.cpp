#include "modules/disk_info/lossy_text.h"

#include <cstdint>

#include "platform/text.h"

namespace corvane::disk_info {

namespace {

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

// The platform's conversions have the same replacement rules; these names
// stay so the health parsers read as before.
std::string utf8_lossy(std::string_view bytes) { return platform::lossy_utf8(bytes); }

std::string utf16_lossy(std::u16string_view units) { return platform::utf8_from_utf16(units); }

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
