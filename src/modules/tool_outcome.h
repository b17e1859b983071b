// The contract between the tool registry and every tool: a handler takes
// its typed request and a context, and returns its payload record or an
// error text that reaches the client after "Error: ". Records become JSON
// through their free `to_json(Json&, const Record&)`, found by the registry.
#pragma once

#include <stop_token>

#include <nlohmann/json.hpp>

#include "platform/progress.h"
#include "platform/result.h"

namespace corvane {

using Json = nlohmann::json;
using ToolOutcome = Result<Json>;

// What the registry gives each call: a stop token the handler heeds, and
// the counters it advances (how far the call has come, which the server
// reports to a client that asked for progress). Both live for the one call.
struct ToolContext {
  std::stop_token stop;
  platform::ProgressCounters& counters;
  // Where a tool that reports stages of its own sends them; none when the
  // client is not watching.
  platform::ProgressSink* events = nullptr;

  platform::TaskHooks hooks() const { return platform::TaskHooks{stop, &counters}; }
};

}  // namespace corvane
