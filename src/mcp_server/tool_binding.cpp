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

CallWatch::CallWatch(const CallControl& control, const platform::ProgressCounters& counters,
                     ProgressWording wording) {
  if (control.progress == nullptr) return;
  if (!gives_structured_results(control.version)) wording = nullptr;
  worded_.emplace(*control.progress, counters, wording);
  platform::Clock& clock = platform::system_clock();
  reporter_.emplace(*worded_, clock, kProgressGap);
  ticker_.emplace(*reporter_, clock, counters, std::string(), "progress", control.stop, kProgressTick);
}

void CallWatch::Worded::deliver(const platform::ProgressEvent& event) {
  if (wording_ == nullptr || event.stage.starts_with(platform::kWarningStage)) return next_.deliver(event);
  // Progress never fails the call it reports on: without memory for the
  // wording, this report is simply not made.
  try {
    platform::ProgressEvent worded = event;
    worded.message = wording_(event.processed, event.total, counters_.stage_start.load());
    next_.deliver(worded);
  } catch (const std::exception&) {
  }
}

// The ticker goes first: it reports through the reporter.
CallWatch::~CallWatch() { ticker_.reset(); }

ToolOutcome run_on_pool(std::function<ToolOutcome()> job) {
  Result<ToolOutcome> ran = runtime::blocking_pool().run<ToolOutcome>(std::move(job));
  if (!ran.ok()) return make_error("TASK_ERROR: " + ran.error());
  return std::move(ran).value();
}

}  // namespace corvane::mcp
