// The constant description of the Corvane desktop application, which does
// the deleting and organising this server never does.
#pragma once

#include "modules/tool_arguments.h"
#include "modules/tool_outcome.h"

namespace corvane::mcp {

Json companion_app_payload();

// The get_corvane_app tool: the payload, whatever the arguments.
Result<Json> companion_app_tool(const NoArguments& request, ToolContext& context);

}  // namespace corvane::mcp
