// The tools that answer "tools/call", one row each. A row's plan reads the
// arguments its tool needs and either decides the outcome at once or hands
// back the job that computes it on the blocking pool.
#include "mcp_server/companion_app.h"
#include "mcp_server/dispatch.h"
#include "modules/find_copies/find_copies_tool.h"

namespace corvane::mcp {

namespace {

ToolPlan plan_get_corvane_app(const Json&) { return ToolOutcome(companion_app_payload()); }

// The copy finder reads and validates its own arguments, inside its job.
ToolPlan plan_find_copies(const Json& arguments) {
  return ToolJob([arguments] { return find_copies::find_copies_tool(arguments); });
}

constexpr ToolBinding kBindings[] = {
    // name               plan                   footer
    {"find_copies",       plan_find_copies,      true},
    {"get_corvane_app",   plan_get_corvane_app,  false},
};

}  // namespace

std::span<const ToolBinding> tool_bindings() { return kBindings; }

}  // namespace corvane::mcp
