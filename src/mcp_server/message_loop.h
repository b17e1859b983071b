// The stdio message loop: one JSON-RPC message per input line, one compact
// reply line per request. Requests run one at a time and are answered in
// the order they came; while one runs, the input is still read, so that a
// client can cancel it and queue further requests behind it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "mcp_server/line_reader.h"
#include "modules/tool_outcome.h"

namespace corvane::mcp {

// A request to answer in turn.
struct Request {
  Json id;
  std::string method;  // empty when the message has no string "method"
  Json message;
};

// "notifications/cancelled": the id of the request the client gave up on.
struct Cancellation {
  Json request_id;
};

// What one input line asks of the loop: nothing, a reply already decided
// (a parse error), a request, or a cancellation.
using Inbound = std::variant<std::monostate, Json, Request, Cancellation>;

// Reads one line. Blank lines, non-objects, other notifications and
// cancellations whose requestId is no string or number ask nothing; bad
// JSON gives the -32700 reply. A method is compared as decoded, whatever
// escapes spelled it. Precondition: `line` is valid UTF-8.
Inbound read_message(std::string_view line);
// The same for a message already parsed.
Inbound route_message(Json message);

// Whether two request ids are the same id: equal values of the same JSON
// type, integer, float or string (a string id never matches a number id,
// nor an integer a float; see the definition for the exact rule).
bool same_request_id(const Json& a, const Json& b);

// One trimmed input line in, the reply to write (if any) out: read_message,
// then the request answered in a session of its own. Precondition: `line`
// is valid UTF-8.
std::optional<Json> handle_line(std::string_view line);

// Serves until end of input, a read error or input that is not UTF-8, and
// then until every request read before that point is answered. Each
// message (reply or progress notification) reaches `write` whole, as
// compact JSON plus "\n", one at a time; write failures are ignored. A
// cancelled request gets no reply: the one running is stopped, a queued
// one dropped. Progress goes out for a tools/call that carries a progress
// token, before its reply. The whole run is one session (see session.h).
// A tools/call that has not returned a second after its cancellation is
// given up on: its thread is left where it is (never joined, nothing of it
// written) and another thread serves on. When the thread that called serve
// is the one left held at the end of the input, the thread serving then
// calls `left_behind`, which must end the process without waiting for it
// or for the pools it uses (see runtime::stop_without_waiting); serve then
// never returns. Otherwise returns false when a call was given up on (the
// same holds then for the pools), true when every call came back.
bool serve(LineReader& input, const std::function<bool(std::string_view)>& write,
           std::function<void()> left_behind = {});

}  // namespace corvane::mcp
