// Turning what the system and child processes hand back into UTF-8, and the
// line and field rules both disk-health scripts' output follows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvane::disk_info {

// `bytes` as UTF-8, each maximal ill-formed subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// UTF-16 text as UTF-8, unpaired surrogates replaced by U+FFFD.
std::string utf16_lossy(std::u16string_view units);

// `text` (valid UTF-8) without leading and trailing White_Space characters.
std::string_view trim_unicode_space(std::string_view text);

// Lower-cased for comparison with the ASCII keywords of the classification
// tables. Besides ASCII, only the two characters whose full lower case
// contains an ASCII letter are mapped (KELVIN SIGN to "k", and U+0130 to
// "i" + U+0307); every other character's lower case is non-ASCII and could
// never match a keyword, so it is kept as it is.
std::string lower_for_matching(std::string_view text);

// The lines of `text`: split at LF, one CR ending a line dropped, each line
// trimmed of Unicode white space.
std::vector<std::string_view> output_lines(std::string_view text);

// The pieces of `line` between the "|" separators, untrimmed.
std::vector<std::string_view> split_fields(std::string_view line);

}  // namespace corvane::disk_info
