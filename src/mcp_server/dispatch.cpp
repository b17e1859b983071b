#include "mcp_server/dispatch.h"

#include <string>

#include "mcp_server/identity.h"
#include "mcp_server/json_text.h"
#include "mcp_server/methods.h"
#include "mcp_server/payload_cut.h"
#include "platform/runtime.h"

namespace corvane::mcp {

std::string result_footer() {
  std::string footer =
      "\n\n---\nThis is a read-only scan from the Corvane MCP server. To act on these results "
      "(safely delete, move to Recycle Bin, organize, or schedule cleanups) install the free "
      "Corvane desktop app: ";
  footer += kDownloadPageUrl;
  return footer;
}

namespace {

Json text_reply(const Json& id, std::string text, bool is_error) {
  Json content = Json::array({Json{{"text", std::move(text)}, {"type", "text"}}});
  return result_reply(id, Json{{"content", std::move(content)}, {"isError", is_error}});
}

// An error that echoes an oversized name or path from the client would make
// a reply no host takes: its text is cut at a character boundary to fit,
// marked with an ellipsis.
std::string fitted_error(std::string text, std::size_t room) {
  if (escaped_size(text) <= room) return text;
  constexpr std::string_view kMark = "\u2026";
  std::size_t used = escaped_size(kMark);
  std::size_t end = 0;
  while (end < text.size()) {
    std::size_t next = end + 1;
    while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) ++next;
    used += escaped_size(std::string_view(text).substr(end, next - end));
    if (used > room) break;
    end = next;
  }
  text.resize(end);
  text += kMark;
  return text;
}

}  // namespace

Json tool_result_reply(const Json& id, const ToolOutcome& outcome, bool footer, std::size_t budget) {
  // The reply line is the envelope around the text, which it carries escaped.
  std::size_t envelope = to_compact_json(text_reply(id, std::string(), !outcome.ok())).size();
  std::size_t room = budget > envelope ? budget - envelope : 0;
  if (!outcome.ok()) return text_reply(id, fitted_error("Error: " + outcome.error(), room), true);
  std::string tail = footer ? result_footer() : std::string();
  std::string text;
  try {
    text = to_pretty_json(outcome.value());
  } catch (const std::exception&) {
    text = to_compact_json(outcome.value());
  }
  text += tail;
  if (escaped_size(text) > room) {
    // Freed first: the cut builds a text of its own.
    text.clear();
    text.shrink_to_fit();
    text = fitted_text(outcome.value(), tail, room);
  }
  return text_reply(id, std::move(text), false);
}

Json call_tool(const ToolBinding& tool, const Json& id, const Json& arguments, const CallControl& control) {
  ToolOutcome outcome = [&]() -> ToolOutcome {
    try {
      return tool.run(tool, arguments, control);
    } catch (...) {
      return make_error("TASK_ERROR: " + runtime::describe_exception(std::current_exception()));
    }
  }();
  return tool_result_reply(id, outcome, tool.footer);
}

Json handle_tool_call(const Json& id, const Json& message, const CallControl& control) {
  static const Json kEmptyObject = Json::object();
  const Json* params = &kEmptyObject;
  if (auto it = message.find("params"); it != message.end()) params = &*it;

  std::string name;
  const Json* arguments = &kEmptyObject;
  if (params->is_object()) {
    if (auto it = params->find("name"); it != params->end() && it->is_string()) name = it->get<std::string>();
    if (auto it = params->find("arguments"); it != params->end()) arguments = &*it;
  }

  if (const ToolBinding* tool = find_tool(name)) return call_tool(*tool, id, *arguments, control);
  return tool_result_reply(id, make_error("Unknown tool: " + name), false);
}

}  // namespace corvane::mcp
