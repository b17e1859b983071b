// The JSON-RPC methods: one request in, exactly one reply object out.
#pragma once

#include <string>
#include <string_view>

#include "mcp_server/tool_binding.h"
#include "modules/tool_outcome.h"

namespace corvane::mcp {

inline constexpr int kParseError = -32700;
inline constexpr int kMethodNotFound = -32601;

Json result_reply(const Json& id, Json result);
Json error_reply(const Json& id, int code, std::string message);

// The "initialize" result.
Json server_description();

// Answers "initialize", "ping", "tools/list" and "tools/call"; any other
// method (compared exactly) gets -32601. `control` steers a tool call.
Json handle_request(const Json& id, std::string_view method, const Json& message, const CallControl& control = {});

}  // namespace corvane::mcp
