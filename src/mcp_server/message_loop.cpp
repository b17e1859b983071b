#include "mcp_server/message_loop.h"

#include "mcp_server/json_text.h"
#include "mcp_server/methods.h"
#include "platform/text.h"

namespace corvane::mcp {

std::optional<Json> handle_line(std::string_view line) {
  std::string_view text = platform::trim_white_space(line);
  if (text.empty()) return std::nullopt;

  Result<Json> parsed = parse_json(text);
  if (!parsed.ok()) return error_reply(nullptr, kParseError, "Parse error: " + parsed.error());

  const Json& message = parsed.value();
  if (!message.is_object()) return std::nullopt;
  auto id = message.find("id");
  if (id == message.end()) return std::nullopt;  // a notification

  std::string_view method;
  if (auto m = message.find("method"); m != message.end() && m->is_string()) {
    method = m->get_ref<const std::string&>();
  }
  return handle_request(*id, method, message);
}

void serve(LineReader& input, const std::function<bool(std::string_view)>& write) {
  while (std::optional<std::string> line = input.next()) {
    if (!platform::is_valid_utf8(*line)) return;
    std::string text;
    try {
      std::optional<Json> reply = handle_line(*line);
      if (!reply) continue;
      append_compact_json(text, *reply);
    } catch (const std::exception&) {
      // Out of memory for this line or its reply: nothing can be written for
      // it, and the server stays up for the next one.
      continue;
    }
    text += '\n';
    (void)write(text);
  }
}

}  // namespace corvane::mcp
