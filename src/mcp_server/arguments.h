// The argument readers the tools share. When the arguments value is not an
// object, every member counts as absent.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "modules/tool_outcome.h"

namespace corvane::mcp {

// The member's text when it is a JSON string (empty accepted); otherwise the
// error "missing required string argument: " + name.
Result<std::string> required_string(const Json& arguments, std::string_view name);

// The member's value when it is a JSON boolean; otherwise `fallback`.
bool optional_bool(const Json& arguments, std::string_view name, bool fallback);

// The string elements of the member when it is an array, in order, other
// elements skipped; otherwise an empty list.
std::vector<std::string> optional_string_list(const Json& arguments, std::string_view name);

// "top_n": a non-negative integer literal clamped to 1..200; anything else 20.
int top_n_argument(const Json& arguments);

}  // namespace corvane::mcp
