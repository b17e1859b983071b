// The server's two JSON writers and its parser front.
#pragma once

#include <string>
#include <string_view>

#include "modules/tool_outcome.h"
#include "platform/result.h"

namespace corvane::mcp {

// Compact text: no blanks or line breaks, keys in byte order. Bytes that are
// not UTF-8 inside strings come out as U+FFFD rather than failing.
std::string to_compact_json(const Json& value);

// Two-space indented text with ": " between key and value, no final newline.
std::string to_pretty_json(const Json& value);

// Parses one JSON value. The error text names the fault with its line and
// column. Nesting deeper than kMaxJsonDepth is refused, as the writers and
// the value's destructor would otherwise recurse without bound.
inline constexpr int kMaxJsonDepth = 128;
Result<Json> parse_json(std::string_view text);

}  // namespace corvane::mcp
