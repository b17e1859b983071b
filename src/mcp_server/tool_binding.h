// How one tool is bound to "tools/call": its name, its catalogue entry, how
// its request is checked, where its steps run, and its handler. A call goes
// through three steps in order: read (the request from the arguments, with
// the tool's read_arguments), check (the path the request names), handle
// (the handler, whose payload record becomes JSON). The first failing step
// ends the call with its error. From `pool_from` on, the steps run as one
// job on the blocking pool.
#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>

#include "modules/tool_arguments.h"
#include "modules/tool_outcome.h"
#include "platform/progress.h"

namespace corvane::mcp {

// What a tool's description and argument schema say to the client.
struct CatalogueEntry {
  std::string_view description;
  std::string_view input_schema;  // JSON text
};

// The check step: nothing, "PATH_NOT_FOUND: " + path when the path's
// metadata cannot be read, or that and then "PATH_NOT_DIRECTORY: " + path
// when it names no directory (a link to a directory is a directory).
enum class PathCheck : std::uint8_t { none, exists, directory };

// The steps of a call, in order; `never` as `pool_from` runs the whole call
// inline.
enum class Step : std::uint8_t { read, check, handle, never };

// How the server steers one call: the stop a client's cancellation
// requests, and where the call's progress goes (none when the client did
// not ask for progress).
struct CallControl {
  std::stop_token stop = {};
  platform::ProgressSink* progress = nullptr;
};

// How often a watched call's counters are reported, and the least gap
// between two reports.
inline constexpr std::chrono::milliseconds kProgressTick{250};
inline constexpr std::chrono::milliseconds kProgressGap{200};

// Reports a call's counters to its progress sink every tick while it runs,
// on a thread of its own; nothing without a sink. The thread has ended when
// the destructor returns, so no report of the call follows its reply.
class CallWatch {
 public:
  CallWatch(const CallControl& control, const platform::ProgressCounters& counters);
  ~CallWatch();
  CallWatch(const CallWatch&) = delete;
  CallWatch& operator=(const CallWatch&) = delete;

 private:
  std::optional<platform::ProgressReporter> reporter_;
  std::optional<platform::ProgressTicker> ticker_;
};

struct ToolBinding {
  std::string_view name;
  const CatalogueEntry* catalogue;
  PathCheck path_check;
  Step pool_from;
  bool footer;  // whether a payload's text ends with the read-only footer
  // The steps, made by bind_tool for the handler's request and payload types.
  ToolOutcome (*run)(const ToolBinding& tool, const Json& arguments, const CallControl& control);
};

// The check step for one path.
Status check_path(const std::string& path, PathCheck check);

// Runs `job` on the blocking pool and waits for it; a job that does not
// complete normally gives "TASK_ERROR: " and the pool's description.
ToolOutcome run_on_pool(std::function<ToolOutcome()> job);

template <typename Handler>
struct HandlerTraits;

// A handler takes its request and the call's context and returns a record
// that converts to JSON, or an error.
template <typename Request, typename Payload>
struct HandlerTraits<Result<Payload> (*)(const Request&, ToolContext&)> {
  using request = Request;
  using payload = Payload;
};

template <typename Request>
concept NamesPath = requires(const Request& request) {
  { request.path } -> std::convertible_to<const std::string&>;
};

template <auto Handler>
ToolOutcome run_steps(const ToolBinding& tool, const Json& arguments, const CallControl& control) {
  using Request = typename HandlerTraits<decltype(Handler)>::request;
  Request request{};
  platform::ProgressCounters counters;
  ToolContext context{control.stop, counters, control.progress};
  CallWatch watch(control, counters);

  // Runs the steps in [from, until); an outcome once the call is decided.
  auto steps = [&](Step from, Step until) -> std::optional<ToolOutcome> {
    auto runs = [&](Step step) { return from <= step && step < until; };
    if (runs(Step::read)) {
      if (Status read = read_arguments(arguments, request); !read.ok()) return ToolOutcome(read.failure());
    }
    if constexpr (NamesPath<Request>) {
      if (runs(Step::check)) {
        if (Status found = check_path(request.path, tool.path_check); !found.ok()) {
          return ToolOutcome(found.failure());
        }
      }
    }
    if (!runs(Step::handle)) return std::nullopt;
    auto handled = Handler(request, context);
    if (!handled.ok()) return ToolOutcome(handled.failure());
    return ToolOutcome(Json(std::move(handled).value()));
  };

  if (std::optional<ToolOutcome> decided = steps(Step::read, tool.pool_from)) return std::move(*decided);
  return run_on_pool([&] { return *steps(tool.pool_from, Step::never); });
}

// One row of a tool table. A path check needs a request with a `path`: a
// row that asks for one without it does not compile.
template <auto Handler>
consteval ToolBinding bind_tool(std::string_view name, const CatalogueEntry& catalogue, PathCheck path_check,
                                Step pool_from, bool footer) {
  using Request = typename HandlerTraits<decltype(Handler)>::request;
  if (path_check != PathCheck::none && !NamesPath<Request>) throw "a path check needs a request with a path";
  return ToolBinding{name, &catalogue, path_check, pool_from, footer, &run_steps<Handler>};
}

}  // namespace corvane::mcp
