// The tools that answer "tools/call", one row each. A row's plan reads the
// arguments its tool needs and either decides the outcome at once or hands
// back the job that computes it on the blocking pool.
#include "mcp_server/companion_app.h"
#include "mcp_server/dispatch.h"

namespace corvane::mcp {

namespace {

ToolPlan plan_get_corvane_app(const Json&) { return ToolOutcome(companion_app_payload()); }

constexpr ToolBinding kBindings[] = {
    // name               plan                   footer
    {"get_corvane_app",   plan_get_corvane_app,  false},
};

}  // namespace

std::span<const ToolBinding> tool_bindings() { return kBindings; }

}  // namespace corvane::mcp
