// "tools/call": picks the tool, runs its binding, and wraps the outcome in
// the tool-result envelope. The only place an outcome becomes protocol text.
#pragma once

#include <cstddef>
#include <string>

#include "mcp_server/tool_registry.h"
#include "modules/reply_budget.h"
#include "modules/tool_outcome.h"

namespace corvane::mcp {

// The "\n\n---\n..." text appended under every payload but the companion's.
std::string result_footer();

// Runs one tool with `arguments` and builds its reply. An exception that
// escapes the call's steps becomes "TASK_ERROR: ...". `control` steers the
// call (its stop, and where its progress goes).
Json call_tool(const ToolBinding& tool, const Json& id, const Json& arguments, const CallControl& control = {});

// The whole reply to a "tools/call" request.
Json handle_tool_call(const Json& id, const Json& message, const CallControl& control = {});

// The reply for an outcome: pretty payload text (plus footer) or "Error: "
// and the message, with "isError" set accordingly. A payload whose reply
// line (compact, newline excluded) would exceed `budget` bytes has its
// record lists cut to fit (see payload_cut.h); any other reply is left as
// it is.
Json tool_result_reply(const Json& id, const ToolOutcome& outcome, bool footer,
                       std::size_t budget = kReplyBudget);

}  // namespace corvane::mcp
