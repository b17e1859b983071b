// "tools/call": picks the tool, reads its arguments, runs it, and wraps the
// outcome in the tool-result envelope. The only place an outcome becomes
// protocol text.
#pragma once

#include <functional>
#include <span>
#include <string_view>
#include <variant>

#include "modules/tool_outcome.h"

namespace corvane::mcp {

// Work for the blocking pool, owning the arguments it was given.
using ToolJob = std::function<ToolOutcome()>;

// What a tool's binding makes of its arguments: an outcome decided at once
// (an argument error, or an inline tool's payload), or a job to run.
using ToolPlan = std::variant<ToolOutcome, ToolJob>;

struct ToolBinding {
  std::string_view name;
  ToolPlan (*plan)(const Json& arguments);
  bool footer;  // whether a payload's text ends with the read-only footer
};

// The tools that answer, in catalogue order.
std::span<const ToolBinding> tool_bindings();

// The "\n\n---\n..." text appended under every payload but the companion's.
std::string result_footer();

// Runs one tool's plan with `arguments` and builds its reply. An exception
// that escapes the plan or its job becomes "TASK_ERROR: ...".
Json call_tool(const ToolBinding& tool, const Json& id, const Json& arguments);

// The whole reply to a "tools/call" request.
Json handle_tool_call(const Json& id, const Json& message);

// The reply for an outcome: pretty payload text (plus footer) or "Error: "
// and the message, with "isError" set accordingly.
Json tool_result_reply(const Json& id, const ToolOutcome& outcome, bool footer);

}  // namespace corvane::mcp
