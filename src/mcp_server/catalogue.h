// The eight tools the server advertises, with their argument schemas.
#pragma once

#include "modules/tool_outcome.h"

namespace corvane::mcp {

// A fresh, identical array on every call.
Json tool_catalogue();

}  // namespace corvane::mcp
