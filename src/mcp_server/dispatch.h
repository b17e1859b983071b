// "tools/call": picks the tool, runs its binding, and wraps the outcome in
// the tool-result envelope. The only place an outcome becomes protocol text.
#pragma once

#include <cstddef>
#include <string>

#include "mcp_server/payload_cut.h"
#include "mcp_server/tool_registry.h"
#include "modules/reply_budget.h"
#include "modules/tool_outcome.h"

namespace corvane::mcp {

// The "\n\n---\n..." text appended under every payload but the companion's.
std::string result_footer();

// Runs one tool with `arguments` and builds its reply. An exception that
// escapes the call's steps becomes "TASK_ERROR: ...". `control` steers the
// call (its stop, where its progress goes, the session's version).
Json call_tool(const ToolBinding& tool, const Json& id, const Json& arguments, const CallControl& control = {});

// The whole reply to a "tools/call" request.
Json handle_tool_call(const Json& id, const Json& message, const CallControl& control = {});

// The reply for an outcome: for a payload, its text and (when the form asks
// for it) its structured copy, see payload_cut.h; for an error, "Error: "
// and the message, with "isError" true and no structured copy. A payload
// whose reply line (compact, newline excluded) would exceed `budget` bytes
// has its record lists cut to fit; an error text is cut as fitted_error
// does; any other reply is left as it is.
Json tool_result_reply(const Json& id, const ToolOutcome& outcome, const ResultForm& form,
                       std::size_t budget = kReplyBudget);
// As above, as a session of 2024-11-05 gets it, with or without the footer.
Json tool_result_reply(const Json& id, const ToolOutcome& outcome, bool footer, std::size_t budget = kReplyBudget);

// An error text that echoes an oversized name or path from the client
// would make a reply no host takes: cut at a character boundary to take at
// most `room` bytes escaped, marked with an ellipsis.
std::string fitted_error(std::string text, std::size_t room);

}  // namespace corvane::mcp
