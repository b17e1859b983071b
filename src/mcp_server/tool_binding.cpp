#include "mcp_server/tool_binding.h"

#include "platform/path.h"
#include "platform/runtime.h"

namespace corvane::mcp {

Status check_path(const std::string& path, PathCheck check) {
  if (check == PathCheck::none) return ok_status();
  Result<platform::PathMetadata> meta = platform::path_metadata(path);
  if (!meta.ok()) return make_error(meta.error_code(), "PATH_NOT_FOUND: " + path);
  if (check == PathCheck::directory && meta->kind != platform::EntryKind::directory) {
    return make_error("PATH_NOT_DIRECTORY: " + path);
  }
  return ok_status();
}

CallWatch::CallWatch(const CallControl& control, const platform::ProgressCounters& counters) {
  if (control.progress == nullptr) return;
  platform::Clock& clock = platform::system_clock();
  reporter_.emplace(*control.progress, clock, kProgressGap);
  ticker_.emplace(*reporter_, clock, counters, std::string(), "progress", control.stop, kProgressTick);
}

// The ticker goes first: it reports through the reporter.
CallWatch::~CallWatch() { ticker_.reset(); }

ToolOutcome run_on_pool(std::function<ToolOutcome()> job) {
  Result<ToolOutcome> ran = runtime::blocking_pool().run<ToolOutcome>(std::move(job));
  if (!ran.ok()) return make_error("TASK_ERROR: " + ran.error());
  return std::move(ran).value();
}

}  // namespace corvane::mcp
