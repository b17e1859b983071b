// Text checks of the message loop.
#pragma once

#include <string_view>

namespace corvane::mcp {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, at
// most U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// `text` (valid UTF-8) without leading and trailing characters of Unicode's
// White_Space property.
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace corvane::mcp
