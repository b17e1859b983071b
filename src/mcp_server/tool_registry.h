// The tools the server offers: one table binds each tool's name, catalogue
// entry, request checks, where it runs and its handler (see tool_binding.h).
#pragma once

#include <span>
#include <string_view>

#include "mcp_server/session.h"
#include "mcp_server/tool_binding.h"

namespace corvane::mcp {

// Every tool, in catalogue order.
std::span<const ToolBinding> tool_bindings();

// The tool of that exact name, or null.
const ToolBinding* find_tool(std::string_view name);

// The "tools" array of "tools/list" for a session of `version`: a fresh,
// identical array on every call.
Json tool_catalogue(ProtocolVersion version = ProtocolVersion::v2024_11_05);

}  // namespace corvane::mcp
