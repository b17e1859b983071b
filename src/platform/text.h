// Text conversions for names and paths that come from the operating system.
// Everything here is pure computation, the same on every platform.
#pragma once

#include <string>
#include <string_view>

namespace corvane::platform {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, at
// most U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// `bytes` as UTF-8 text: each maximal ill-formed subsequence becomes one
// U+FFFD, so a name that is not UTF-8 can still be shown. Well-formed input
// comes back unchanged.
std::string lossy_utf8(std::string_view bytes);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string utf8_from_utf16(std::u16string_view text);

// UTF-8 to UTF-16; ill-formed bytes become U+FFFD (as lossy_utf8 would).
std::u16string utf16_from_utf8(std::string_view text);

}  // namespace corvane::platform
