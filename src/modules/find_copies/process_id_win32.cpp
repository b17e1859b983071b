#include <windows.h>

#include "modules/find_copies/process_id.h"

namespace corvane::find_copies {

std::uint64_t current_process_id() { return GetCurrentProcessId(); }

}  // namespace corvane::find_copies
