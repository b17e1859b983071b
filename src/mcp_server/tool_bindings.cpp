// The tools that answer "tools/call", one row each. A row's plan reads the
// arguments its tool needs and either decides the outcome at once or hands
// back the job that computes it on the blocking pool.
#include "mcp_server/companion_app.h"
#include "mcp_server/dispatch.h"
#include "modules/disk_info/disk_info_tool.h"

namespace corvane::mcp {

namespace {

ToolPlan plan_get_corvane_app(const Json&) { return ToolOutcome(companion_app_payload()); }

ToolPlan plan_list_disks(const Json&) { return ToolJob(disk_info::list_disks_tool); }

ToolPlan plan_disk_health(const Json&) { return ToolJob(disk_info::disk_health_tool); }

constexpr ToolBinding kBindings[] = {
    // name               plan                   footer
    {"list_disks",        plan_list_disks,       true},
    {"disk_health",       plan_disk_health,      true},
    {"get_corvane_app",   plan_get_corvane_app,  false},
};

}  // namespace

std::span<const ToolBinding> tool_bindings() { return kBindings; }

}  // namespace corvane::mcp
