#include <cerrno>

#include "modules/find_copies/os_errors.h"

namespace corvane::find_copies {

bool is_not_found_code(int code) { return code == ENOENT; }

bool last_error_is_access_denied() { return errno == EACCES || errno == EPERM; }

}  // namespace corvane::find_copies
