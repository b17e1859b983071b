// The text rules every layer shares: decoding and validating UTF-8, the lossy
// conversions of text from the operating system and from child processes,
// Unicode white space, and lower-casing. Pure computation, the same on every
// platform; full lower-casing lives in lower_case.cpp with its table.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane::platform {

inline constexpr char32_t kReplacementCharacter = U'\uFFFD';

// One step through UTF-8 text: a code point, or bytes that encode none.
struct Utf8Unit {
  char32_t code_point = kReplacementCharacter;  // U+FFFD when ill-formed
  std::size_t length = 1;                       // bytes taken, at least 1
  bool well_formed = false;
};

// The unit that starts at `text[at]` (at < text.size()). Well-formed means
// the shortest encoding of a code point up to U+10FFFF that is no surrogate.
// Anything else is one ill-formed unit per maximal subpart (Unicode's
// "substitution of maximal subparts"): the longest run of bytes that starts
// a well-formed sequence without completing it, else the single byte. So the
// truncated "E2 82" is one unit, while the overlong "C0 AF" and the
// surrogate "ED A0 80" are one unit per byte. An ill-formed unit never takes
// in a byte that could start a character, so decoding picks up again at the
// next one.
Utf8Unit next_code_point(std::string_view text, std::size_t at);

// Appends the UTF-8 encoding of `code_point` (at most U+10FFFF). A surrogate
// is encoded like any other code point, as WTF-8 carries it.
void append_utf8(std::string& out, char32_t code_point);

// True when every unit of `bytes` is well-formed. Runs of ASCII are checked
// eight bytes at a time: a protocol line may be 100 MB.
bool is_valid_utf8(std::string_view bytes);

// True when every byte is below 0x80 (eight at a time, as above).
bool is_ascii(std::string_view text);

// `bytes` as UTF-8 text: each ill-formed unit becomes one U+FFFD, so a name
// that is not UTF-8 can still be shown. Well-formed input comes back
// unchanged.
std::string lossy_utf8(std::string_view bytes);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string utf8_from_utf16(std::u16string_view text);

// UTF-8 to UTF-16; ill-formed units become U+FFFD (as lossy_utf8 would).
std::u16string utf16_from_utf8(std::string_view text);

// Windows names need not be valid UTF-16. Path text carries them as WTF-8:
// UTF-8 in which an unpaired surrogate is encoded like any other code point
// (ED A0..BF xx), so that the name survives and the file can be opened
// again. Such text is not valid UTF-8; it is only ever shown through
// utf8_from_wtf8.

// UTF-16 to WTF-8: utf8_from_utf16, keeping unpaired surrogates.
std::string wtf8_from_utf16(std::u16string_view text);

// WTF-8 to UTF-16: utf16_from_utf8, except that an encoded surrogate
// becomes that surrogate again.
std::u16string utf16_from_wtf8(std::string_view text);

// WTF-8 as text to show: an encoded surrogate becomes one U+FFFD, exactly as
// utf8_from_utf16 shows it; other ill-formed bytes become U+FFFD too.
std::string utf8_from_wtf8(std::string_view text);

// True for the characters of Unicode's White_Space property.
bool is_white_space(char32_t code_point);

// `text` without its leading and trailing White_Space characters. An
// ill-formed unit is not white space, so trimming stops at one.
std::string_view trim_white_space(std::string_view text);

// Full Unicode lower-casing: the default full case mapping (U+0130 becomes
// "i" + U+0307, the Kelvin sign "k") with the final-sigma rule (capital
// sigma after a cased letter and before none becomes final sigma). Ill-formed
// units pass through unchanged. ASCII text takes a fast path. The rule of
// the directory scans' extensions and exclude paths, of the junk patterns'
// suffixes, and of the disk texts matched against tables.
std::string lower_case_unicode(std::string_view text);

// 'A' to 'Z' lowered; every other byte kept: the copy finder's extension
// rule.
constexpr char lower_case_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }
std::string lower_case_ascii(std::string_view text);

// Equal length, and equal once 'A' to 'Z' are folded to 'a' to 'z'; every
// other byte must be identical: the junk patterns' whole-name rule.
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);

}  // namespace corvane::platform
