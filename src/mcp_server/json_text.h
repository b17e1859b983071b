// The server's two JSON writers and its parser front.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "modules/tool_outcome.h"
#include "platform/result.h"

namespace corvane::mcp {

// Both writers follow serde_json's rules, with ryu's layout for floats:
// keys in byte order; strings escape only '"', '\\' and control characters
// (\b \f \n \r \t by name, the rest as \u00xx); bytes that are not UTF-8
// come out as U+FFFD rather than failing; a float is the shortest text that
// reads back to the same double, plain from 1e-5 up to 1e16 ("1.0",
// "0.00001", "-0.0") and d.ddde-N beyond ("1e16", "9.765625e-6"), non-finite
// as null. They only append, so a caller can count what a value adds to a
// line.

// Compact text: no blanks or line breaks.
void append_compact_json(std::string& out, const Json& value);
std::string to_compact_json(const Json& value);

// Two-space indented text with ": " between key and value, [] and {} for
// empty containers, no final newline.
void append_pretty_json(std::string& out, const Json& value);
std::string to_pretty_json(const Json& value);
// The text `value` has when it sits `depth` levels deep in a pretty text:
// its inner lines indented for that depth, its first line not at all.
void append_pretty_json(std::string& out, const Json& value, int depth);

// The bytes `text` takes between the quotes of a JSON string, as both
// writers escape it (non-UTF-8 bytes repaired first).
std::size_t escaped_size(std::string_view text);

// Parses one JSON value. The error text names the fault with its line and
// column and quotes at most a short excerpt of the offending token. A NUL
// byte or a leading byte order mark is a fault, as is a number beyond a
// double's range; "-0" reads as the float -0.0. Nesting deeper than
// kMaxJsonDepth is refused, as the writers and the value's destructor would
// otherwise recurse without bound.
inline constexpr int kMaxJsonDepth = 128;
Result<Json> parse_json(std::string_view text);

// As parse_json, with the same faults, but of an object only what routes a
// message: its "id", "method" and "params", and of an object "params" only
// its "requestId". Any other container kept is left empty. Costs a pass
// over the text and the few values kept.
Result<Json> parse_json_envelope(std::string_view text);

}  // namespace corvane::mcp
