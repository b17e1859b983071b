// The server process's id, for the search's task id.
#pragma once

#include <cstdint>

namespace corvane::find_copies {

std::uint64_t current_process_id();

}  // namespace corvane::find_copies
