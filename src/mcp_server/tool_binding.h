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

#include "mcp_server/session.h"
#include "modules/tool_arguments.h"
#include "modules/tool_outcome.h"
#include "platform/progress.h"

namespace corvane::mcp {

// The behaviour hints a host reads before it lets a model call a tool.
// Absent hints default to a tool that writes, destroys and reaches beyond
// the machine, so the catalogue writes all four out.
struct ToolHints {
  bool read_only = false;
  bool destructive = false;
  bool idempotent = false;
  bool open_world = false;
  friend constexpr bool operator==(const ToolHints&, const ToolHints&) = default;
};

// A tool that only reads the machine it runs on: the same answer for the
// same machine, nothing changed, nothing outside asked.
inline constexpr ToolHints kReadsOnly{.read_only = true, .destructive = false, .idempotent = true, .open_world = false};

// The line a person reads about a call's progress, from its counters:
// `total` is 0 while unknown, and `stage_start` is the count at which the
// current stage began (see TaskHooks::begin_stage).
using ProgressWording = std::string (*)(std::uint64_t processed, std::uint64_t total, std::uint64_t stage_start);

// What the client is told about a tool. Every session gets the description
// and the argument schema; sessions that get structured results also get
// the title, the hints and the output schema, which describes the
// structured copy of the tool's payload: the payload itself when it is an
// object, else an object whose `list_key` member holds the array.
struct CatalogueEntry {
  std::string_view description;
  std::string_view input_schema;  // JSON text
  std::string_view title = {};
  std::string_view output_schema = {};  // JSON text; its root is an object
  ToolHints hints = {};
  // For an array payload: the structured copy's member, and the noun of the
  // line that tells a cut ("Only 181 of the 200 files found...").
  std::string_view list_key = {};
  ProgressWording progress = nullptr;  // none: progress carries no message
};

// The check step: nothing, "PATH_NOT_FOUND: " + path when the path's
// metadata cannot be read, or that and then "PATH_NOT_DIRECTORY: " + path
// when it names no directory (a link to a directory is a directory).
enum class PathCheck : std::uint8_t { none, exists, directory };

// The steps of a call, in order; `never` as `pool_from` runs the whole call
// inline.
enum class Step : std::uint8_t { read, check, handle, never };

// How the server steers one call: the stop a client's cancellation
// requests, where the call's progress goes (none when the client did not
// ask for progress), and the session's protocol version, which decides
// what the reply and the progress carry.
struct CallControl {
  std::stop_token stop = {};
  platform::ProgressSink* progress = nullptr;
  ProtocolVersion version = ProtocolVersion::v2024_11_05;
};

// How often a watched call's counters are reported, and the least gap
// between two reports.
inline constexpr std::chrono::milliseconds kProgressTick{250};
inline constexpr std::chrono::milliseconds kProgressGap{200};

// Reports a call's counters to its progress sink every tick while it runs,
// on a thread of its own, until the call ends; nothing without a sink. In a
// session that gets structured results each report carries the tool's
// wording of the counters. The thread has ended when the destructor
// returns, so no report of the call follows its reply.
class CallWatch {
 public:
  CallWatch(const CallControl& control, const platform::ProgressCounters& counters, ProgressWording wording);
  ~CallWatch();
  CallWatch(const CallWatch&) = delete;
  CallWatch& operator=(const CallWatch&) = delete;

  // Where a tool sends stage events of its own: worded like the ticks.
  // Null when nobody watches.
  platform::ProgressSink* events() { return worded_ ? &*worded_ : nullptr; }

 private:
  class Worded final : public platform::ProgressSink {
   public:
    Worded(platform::ProgressSink& next, const platform::ProgressCounters& counters, ProgressWording wording)
        : next_(next), counters_(counters), wording_(wording) {}
    void deliver(const platform::ProgressEvent& event) override;

   private:
    platform::ProgressSink& next_;
    const platform::ProgressCounters& counters_;
    ProgressWording wording_;
  };

  std::optional<Worded> worded_;
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
  CallWatch watch(control, counters, tool.catalogue->progress);
  ToolContext context{control.stop, counters, watch.events()};

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
