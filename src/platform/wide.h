// UTF-8 <-> the UTF-16 wchar_t text of the Windows API. Only the Windows
// build uses these (wchar_t is 16 bits there).
#pragma once

#include <string>
#include <string_view>

namespace corvane::platform {

// Unpaired surrogates become U+FFFD.
std::string utf8_from_wide(std::wstring_view text);
// Ill-formed UTF-8 becomes U+FFFD.
std::wstring wide_from_utf8(std::string_view text);

// `path` in the \\?\ form that lifts the MAX_PATH limit: made absolute with
// GetFullPathNameW (which also turns '/' into '\'), then "\\?\" or
// "\\?\UNC\" put in front. Text already in that form is kept.
std::wstring verbatim_path(std::string_view path);

}  // namespace corvane::platform
