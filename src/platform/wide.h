// UTF-8 <-> the UTF-16 wchar_t text of the Windows API. Only the Windows
// build uses these (wchar_t is 16 bits there).
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"

namespace corvane::platform {

// Unpaired surrogates become U+FFFD.
std::string utf8_from_wide(std::wstring_view text);
// Ill-formed UTF-8 becomes U+FFFD.
std::wstring wide_from_utf8(std::string_view text);

// A name from the system as path text: WTF-8 (see platform/text.h), so
// that a name that is not valid UTF-16 can be opened again by its text.
std::string path_text_from_wide(std::wstring_view name);

// `path` (UTF-8, or WTF-8 from path_text_from_wide) as the NUL-terminated
// UTF-16 a system call takes. A path holding a NUL names no file, and the
// wide string would end early and name another one: it fails as a missing
// file does, with the ERROR_FILE_NOT_FOUND text (also left as the thread's
// last error, for callers that return false).
Result<std::wstring> wide_path(std::string_view path);

// `path` (see wide_path) in the \\?\ form that lifts the MAX_PATH limit,
// naming what the plain form names: made absolute and normalised by
// GetFullPathNameW first ('/' becomes '\', "." and ".." are resolved, a
// final component's trailing dots and spaces go), since the system takes
// verbatim text literally; then "\\?\" or "\\?\UNC\" is put in front.
// Text already verbatim, \??\ paths and device paths (\\.\) are kept;
// text GetFullPathNameW refuses ("") is returned unchanged. Every call
// that hands a path to the system goes through this, so no path fails for
// being longer than MAX_PATH.
Result<std::wstring> verbatim_path(std::string_view path);

}  // namespace corvane::platform
