// The tools that answer "tools/call", one row each. A row's plan reads the
// arguments its tool needs and either decides the outcome at once or hands
// back the job that computes it on the blocking pool.
#include "mcp_server/arguments.h"
#include "mcp_server/companion_app.h"
#include "mcp_server/dispatch.h"
#include "modules/dir_scan/dir_scan_tool.h"
#include "modules/disk_info/disk_info_tool.h"
#include "modules/find_copies/find_copies_tool.h"
#include "modules/junk_scan/junk_scan_tool.h"

namespace corvane::mcp {

namespace {

ToolPlan plan_get_corvane_app(const Json&) { return ToolOutcome(companion_app_payload()); }

ToolPlan plan_list_disks(const Json&) { return ToolJob(disk_info::list_disks_tool); }

ToolPlan plan_disk_health(const Json&) { return ToolJob(disk_info::disk_health_tool); }
ToolPlan plan_scan_junk(const Json&) { return ToolJob([] { return junk_scan::scan_junk_tool(); }); }

ToolPlan plan_scan_top_files(const Json& arguments) {
  auto path = required_string(arguments, "path");
  if (!path.ok()) return ToolOutcome(make_error(path.error()));
  std::size_t top_n = static_cast<std::size_t>(top_n_argument(arguments));
  if (Status found = dir_scan::top_files_precheck(*path); !found.ok()) return ToolOutcome(make_error(found.error()));
  return ToolJob([path = std::move(path).value(), top_n] { return dir_scan::top_files_tool(path, top_n); });
}

ToolPlan plan_empty_items(const Json& arguments, dir_scan::EmptyKind kind) {
  auto path = required_string(arguments, "path");
  if (!path.ok()) return ToolOutcome(make_error(path.error()));
  bool recursive = optional_bool(arguments, "recursive", true);
  auto excludes = optional_string_list(arguments, "exclude_paths");
  return ToolJob([kind, path = std::move(path).value(), recursive, excludes = std::move(excludes)] {
    return dir_scan::empty_items_tool(kind, path, recursive, excludes);
  });
}

ToolPlan plan_scan_empty_files(const Json& arguments) { return plan_empty_items(arguments, dir_scan::EmptyKind::files); }
ToolPlan plan_scan_empty_folders(const Json& arguments) {
  return plan_empty_items(arguments, dir_scan::EmptyKind::folders);
}

// The copy finder reads and validates its own arguments, inside its job.
ToolPlan plan_find_copies(const Json& arguments) {
  return ToolJob([arguments] { return find_copies::find_copies_tool(arguments); });
}

constexpr ToolBinding kBindings[] = {
    // name                  plan                      footer
    {"list_disks",           plan_list_disks,          true},
    {"disk_health",          plan_disk_health,         true},
    {"scan_junk",            plan_scan_junk,           true},
    {"scan_top_files",       plan_scan_top_files,      true},
    {"scan_empty_files",     plan_scan_empty_files,    true},
    {"scan_empty_folders",   plan_scan_empty_folders,  true},
    {"find_copies",          plan_find_copies,         true},
    {"get_corvane_app",      plan_get_corvane_app,     false},
};

}  // namespace

std::span<const ToolBinding> tool_bindings() { return kBindings; }

}  // namespace corvane::mcp
