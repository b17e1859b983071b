// The stdio message loop: one JSON-RPC message per input line, one compact
// reply line per request, written and flushed before the next line is read.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "mcp_server/line_reader.h"
#include "modules/tool_outcome.h"

namespace corvane::mcp {

// One trimmed input line in, the reply to write (if any) out. Blank lines,
// non-objects and notifications give nothing; bad JSON gives -32700.
// Precondition: `line` is valid UTF-8.
std::optional<Json> handle_line(std::string_view line);

// Serves until end of input, a read error or input that is not UTF-8.
// `write` receives each reply as compact JSON plus "\n"; its failures are
// ignored.
void serve(LineReader& input, const std::function<bool(std::string_view)>& write);

}  // namespace corvane::mcp
