#include "mcp_server/json_text.h"

#include <cstddef>

namespace corvane::mcp {

std::string to_compact_json(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string to_pretty_json(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

namespace {

std::string position_text(std::size_t line, std::size_t column) {
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// Finds the first bracket that opens a level beyond the limit, outside
// strings. Returns false when the text stays within it.
bool find_excess_nesting(std::string_view text, std::size_t& line, std::size_t& column) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  line = 1;
  column = 0;
  for (char c : text) {
    ++column;
    if (c == '\n') {
      ++line;
      column = 0;
      continue;
    }
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// nlohmann's text reads "[json.exception.parse_error.101] parse error at
// line 1, column 2: syntax error ..."; keep the description, then the place.
std::string describe_parse_error(const Json::parse_error& e) {
  std::string what = e.what();
  std::string_view rest = what;
  if (auto close = rest.find("] "); close != std::string_view::npos) rest.remove_prefix(close + 2);
  std::string_view place;
  if (auto colon = rest.find(": "); colon != std::string_view::npos) {
    place = rest.substr(0, colon);
    rest.remove_prefix(colon + 2);
  }
  std::string out(rest);
  if (auto at = place.find("at line "); at != std::string_view::npos) {
    std::string where(place.substr(at));
    if (auto comma = where.find(", column"); comma != std::string::npos) where.erase(comma, 1);
    out += " " + where;
  }
  return out;
}

}  // namespace

Result<Json> parse_json(std::string_view text) {
  std::size_t line = 0;
  std::size_t column = 0;
  if (find_excess_nesting(text, line, column)) {
    return make_error("recursion limit exceeded" + position_text(line, column));
  }
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const Json::parse_error& e) {
    return make_error(describe_parse_error(e));
  } catch (const Json::out_of_range&) {
    // A number too large for a double (1e400) is reported without a place.
    return make_error("number out of range");
  } catch (const Json::exception& e) {
    return make_error(e.what());
  }
}

}  // namespace corvane::mcp
