// The JSON-RPC methods: one request in, exactly one reply object out.
#pragma once

#include <string>
#include <string_view>

#include "mcp_server/session.h"
#include "mcp_server/tool_binding.h"
#include "modules/reply_budget.h"
#include "modules/tool_outcome.h"

namespace corvane::mcp {

inline constexpr int kParseError = -32700;
inline constexpr int kMethodNotFound = -32601;

Json result_reply(const Json& id, Json result);
Json error_reply(const Json& id, int code, std::string message);

// The -32601 reply for `method`, the echoed name cut (as error texts are,
// see fitted_error) so that the line keeps within `budget` when the id
// leaves room for it.
Json method_not_found_reply(const Json& id, std::string_view method, std::size_t budget = kReplyBudget);

// The "initialize" result for a session of `version`.
Json server_description(ProtocolVersion version = ProtocolVersion::v2024_11_05);

// Answers "initialize", "ping", "tools/list" and "tools/call"; any other
// method (compared exactly) gets -32601. "initialize" settles the session's
// version, which shapes every later reply of the session. `control` steers
// a tool call; its version is the session's.
Json handle_request(Session& session, const Json& id, std::string_view method, const Json& message,
                    CallControl control = {});

}  // namespace corvane::mcp
