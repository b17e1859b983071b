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

}  // namespace corvane::platform
