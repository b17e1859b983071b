// The two failure kinds the copy finder tells apart: "not found" (for the
// seed's code) and "access denied" (for the directory warning). The platform
// layer hands errors over as text ending in "(os error N)" and a walk's
// failed open as a bare false, so these read the code from there.
#pragma once

#include <optional>
#include <string_view>

namespace corvane::find_copies {

// N of a trailing "(os error N)", if the text has one.
std::optional<int> os_error_code(std::string_view error_text);

// Whether an os error code means the path does not exist.
bool is_not_found_code(int code);

// Whether the calling thread's last system error (errno / GetLastError) is
// a denial of access. Read it right after the failed call.
bool last_error_is_access_denied();

}  // namespace corvane::find_copies
