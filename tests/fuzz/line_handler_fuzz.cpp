// One input line in, zero or one reply out, and the reply is the right one:
// checked against an independent reading of the same line.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mcp_server/dispatch.h"
#include "mcp_server/json_text.h"
#include "mcp_server/message_loop.h"
#include "platform/text.h"

using corvane::Json;
namespace mcp = corvane::mcp;
namespace platform = corvane::platform;

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    __builtin_printf("invariant broken: %s\n", what);
    std::abort();
  }
}

bool is_working_tool(const Json& message) {
  const Json* params = message.contains("params") ? &message["params"] : nullptr;
  if (params == nullptr || !params->is_object() || !params->contains("name")) return false;
  const Json& name = (*params)["name"];
  if (!name.is_string()) return false;
  for (const auto& tool : mcp::tool_bindings()) {
    if (tool.name == name.get<std::string>() && tool.name != "get_corvane_app") return true;
  }
  return false;
}

// The library reads what JSON does not allow: a NUL byte is its end of
// input, and it skips a leading byte order mark. Both make a line not JSON.
Json read_as_json(std::string_view text) {
  if (text.find('\0') != std::string_view::npos || text.substr(0, 3) == "\xEF\xBB\xBF") return Json(Json::value_t::discarded);
  return Json::parse(text.begin(), text.end(), nullptr, false);
}

// The protocol's peers read "-0" as the float -0.0; the library keeps it as
// a signed integer zero.
Json as_peers_read(Json value) {
  if (value.is_number_integer() && !value.is_number_unsigned() && value == 0) return -0.0;
  if (value.is_structured()) {
    for (Json& element : value) element = as_peers_read(element);
  }
  return value;
}

// Equal, with floats told apart from integers and -0.0 from 0.0.
bool same_value(const Json& a, const Json& b) {
  if (a.is_number_float() || b.is_number_float()) {
    return a.is_number_float() && b.is_number_float() && a == b &&
           std::signbit(a.get<double>()) == std::signbit(b.get<double>());
  }
  if (a.is_number_integer() && b.is_number_integer()) return a == b;
  if (a.type() != b.type() || a.size() != b.size()) return false;
  if (a.is_object()) {
    for (auto it = a.begin(); it != a.end(); ++it) {
      if (!b.contains(it.key()) || !same_value(it.value(), b[it.key()])) return false;
    }
    return true;
  }
  if (a.is_array()) {
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!same_value(a[i], b[i])) return false;
    }
    return true;
  }
  return a == b;
}

bool holds_float(const Json& value) {
  if (value.is_number_float()) return true;
  if (!value.is_structured()) return false;
  for (const Json& element : value) {
    if (holds_float(element)) return true;
  }
  return false;
}

void check_reply_text(const Json& reply) {
  std::string text = mcp::to_compact_json(reply);
  require(text.find('\n') == std::string::npos, "reply is one line");
  Json reread = Json::parse(text, nullptr, false);
  require(!reread.is_discarded(), "reply is valid JSON");
  // The library's own text of the reply, bytes that are not UTF-8 replaced alike.
  Json model = Json::parse(reply.dump(-1, ' ', false, Json::error_handler_t::replace));
  require(same_value(reread, model), "reply text reads back as the reply");
  require(mcp::to_compact_json(reread) == text, "reply text is stable");
  // The library writes floats in another layout; everything else it writes as we do.
  if (!holds_float(reread)) {
    require(reread.dump(-1, ' ', false, Json::error_handler_t::replace) == text, "reply is compact with sorted keys");
  }
  require(reply["jsonrpc"] == "2.0", "jsonrpc member");
  require(reply.contains("result") != reply.contains("error"), "exactly one of result and error");
  if (reply.contains("error") && reply["error"]["code"] == -32700) {
    require(text.size() < 400, "a parse error quotes no more than an excerpt");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  if (line.find('\n') != std::string_view::npos) return 0;  // the reader splits lines first
  if (!platform::is_valid_utf8(line)) return 0;                  // the loop ends there

  std::string_view trimmed = platform::trim_white_space(line);
  Json oracle = read_as_json(trimmed);
  bool is_request = !trimmed.empty() && !oracle.is_discarded() && oracle.is_object() && oracle.contains("id");
  // Real tools would scan this machine; their argument handling has targets of its own.
  if (is_request && oracle.value("method", Json()) == "tools/call" && is_working_tool(oracle)) return 0;

  std::optional<Json> reply = mcp::handle_line(line);
  if (trimmed.empty()) {
    require(!reply, "blank line gets no reply");
    return 0;
  }
  if (oracle.is_discarded()) {
    require(reply && (*reply)["error"]["code"] == -32700 && (*reply)["id"].is_null(), "bad JSON gets -32700, id null");
    check_reply_text(*reply);
    return 0;
  }
  if (!is_request) {
    // Too deeply nested to accept is the one way valid JSON still gets -32700.
    if (reply) {
      require((*reply)["error"]["code"] == -32700, "non-request gets nothing but a nesting refusal");
    }
    return 0;
  }
  require(reply.has_value(), "a request gets exactly one reply");
  check_reply_text(*reply);
  if (reply->contains("error") && (*reply)["error"]["code"] == -32700) {
    require((*reply)["error"]["message"].get<std::string>().find("recursion limit") != std::string::npos,
            "valid JSON refused only for its nesting");
    return 0;
  }
  require(same_value((*reply)["id"], as_peers_read(oracle["id"])), "reply carries the request's id");
  Json method = oracle.value("method", Json());
  bool known = method == "initialize" || method == "ping" || method == "tools/list" || method == "tools/call";
  require(reply->contains("result") == known, "known methods answer, others get -32601");
  if (method == "tools/call") {
    const Json& result = (*reply)["result"];
    require(result.size() == 2 && result["isError"].is_boolean() && result["content"].size() == 1 &&
                result["content"][0]["type"] == "text" && result["content"][0]["text"].is_string(),
            "tool result envelope");
  }
  return 0;
}
