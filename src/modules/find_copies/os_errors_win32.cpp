#include <windows.h>

#include "modules/find_copies/os_errors.h"

namespace corvane::find_copies {

bool is_not_found_code(int code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

bool last_error_is_access_denied() { return GetLastError() == ERROR_ACCESS_DENIED; }

}  // namespace corvane::find_copies
