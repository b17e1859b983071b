// The argument readers every tool's request is read with. Each reads one
// member; when the arguments value is not an object, every member counts as
// absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "modules/tool_outcome.h"

namespace corvane {

// The member's text when it is a JSON string (empty accepted); otherwise the
// error "missing required string argument: " + name.
Result<std::string> required_string(const Json& arguments, std::string_view name);

// The member's text when it is a JSON string; otherwise nothing.
std::optional<std::string> optional_string(const Json& arguments, std::string_view name);

// The member's value when it is a JSON boolean; otherwise `fallback`.
bool optional_bool(const Json& arguments, std::string_view name, bool fallback);

// The member's value as a double when it is a JSON number (integer or
// float); otherwise nothing.
std::optional<double> optional_number(const Json& arguments, std::string_view name);

// The string elements of the member when it is an array, in order, other
// elements skipped; otherwise an empty list.
std::vector<std::string> optional_string_list(const Json& arguments, std::string_view name);

// A count argument: a non-negative integer literal clamped to 1..most;
// anything else (absent, negative, a fraction or exponent, another type)
// `fallback`.
std::uint64_t clamped_count(const Json& arguments, std::string_view name, std::uint64_t most, std::uint64_t fallback);

// "top_n": a non-negative integer literal clamped to 1..200; anything else 20.
int top_n_argument(const Json& arguments);

// The request of a tool that takes no arguments: whatever is given is
// ignored.
struct NoArguments {};
inline Status read_arguments(const Json&, NoArguments&) { return ok_status(); }

}  // namespace corvane
