#include "mcp_server/dispatch.h"

#include <string>

#include "mcp_server/identity.h"
#include "mcp_server/json_text.h"
#include "mcp_server/methods.h"
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

Json tool_result_reply(const Json& id, const ToolOutcome& outcome, bool footer) {
  std::string text;
  if (outcome.ok()) {
    try {
      text = to_pretty_json(outcome.value());
    } catch (const std::exception&) {
      text = to_compact_json(outcome.value());
    }
    if (footer) text += result_footer();
  } else {
    text = "Error: " + outcome.error();
  }
  Json content = Json::array({Json{{"text", std::move(text)}, {"type", "text"}}});
  return result_reply(id, Json{{"content", std::move(content)}, {"isError", !outcome.ok()}});
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
