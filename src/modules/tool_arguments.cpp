#include "modules/tool_arguments.h"

#include <algorithm>

namespace corvane {

namespace {

const Json* member(const Json& arguments, std::string_view name) {
  if (!arguments.is_object()) return nullptr;
  auto it = arguments.find(name);
  return it == arguments.end() ? nullptr : &*it;
}

}  // namespace

Result<std::string> required_string(const Json& arguments, std::string_view name) {
  const Json* value = member(arguments, name);
  if (value == nullptr || !value->is_string()) {
    return make_error("missing required string argument: " + std::string(name));
  }
  return value->get<std::string>();
}

std::optional<std::string> optional_string(const Json& arguments, std::string_view name) {
  const Json* value = member(arguments, name);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

bool optional_bool(const Json& arguments, std::string_view name, bool fallback) {
  const Json* value = member(arguments, name);
  return value != nullptr && value->is_boolean() ? value->get<bool>() : fallback;
}

std::optional<double> optional_number(const Json& arguments, std::string_view name) {
  const Json* value = member(arguments, name);
  if (value == nullptr || !value->is_number()) return std::nullopt;
  return value->get<double>();
}

std::vector<std::string> optional_string_list(const Json& arguments, std::string_view name) {
  std::vector<std::string> out;
  const Json* value = member(arguments, name);
  if (value == nullptr || !value->is_array()) return out;
  for (const Json& element : *value) {
    if (element.is_string()) out.push_back(element.get<std::string>());
  }
  return out;
}

std::uint64_t clamped_count(const Json& arguments, std::string_view name, std::uint64_t most,
                            std::uint64_t fallback) {
  const Json* value = member(arguments, name);
  // The parser keeps integer literals of zero or more that fit in 64 bits as
  // unsigned; 10.0, 1e1, -0 and larger literals are floats.
  if (value == nullptr || !value->is_number_unsigned()) return fallback;
  return std::clamp<std::uint64_t>(value->get<std::uint64_t>(), 1, most);
}

int top_n_argument(const Json& arguments) { return static_cast<int>(clamped_count(arguments, "top_n", 200, 20)); }

}  // namespace corvane
