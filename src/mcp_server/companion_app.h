// The constant description of the Corvane desktop application, which does
// the deleting and organising this server never does.
#pragma once

#include "modules/tool_outcome.h"

namespace corvane::mcp {

Json companion_app_payload();

}  // namespace corvane::mcp
