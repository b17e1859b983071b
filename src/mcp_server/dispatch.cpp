#include "mcp_server/dispatch.h"

#include <optional>
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

Json text_reply(const Json& id, std::string text, bool is_error, std::optional<Json> structured = std::nullopt) {
  Json content = Json::array({Json{{"text", std::move(text)}, {"type", "text"}}});
  Json result{{"content", std::move(content)}, {"isError", is_error}};
  if (structured) result["structuredContent"] = std::move(*structured);
  return result_reply(id, std::move(result));
}

}  // namespace

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

Json tool_result_reply(const Json& id, const ToolOutcome& outcome, const ResultForm& form, std::size_t budget) {
  // The reply line is the envelope around the text, which it carries
  // escaped, and the structured copy, which it carries as it is.
  const bool structured = form.structured && outcome.ok();
  std::size_t envelope =
      to_compact_json(text_reply(id, std::string(), !outcome.ok(), structured ? std::optional(Json::object()) : std::nullopt))
          .size() -
      (structured ? 2 : 0);
  std::size_t room = budget > envelope ? budget - envelope : 0;
  if (!outcome.ok()) return text_reply(id, fitted_error("Error: " + outcome.error(), room), true);
  PayloadCopies copies = payload_copies(outcome.value(), form);
  std::size_t size = escaped_size(copies.text);
  if (copies.structured) size += to_compact_json(*copies.structured).size();
  if (size > room) {
    // Freed first: the cut builds copies of its own.
    copies = PayloadCopies{};
    copies = fitted_copies(outcome.value(), form, room);
  }
  return text_reply(id, std::move(copies.text), false, std::move(copies.structured));
}

Json tool_result_reply(const Json& id, const ToolOutcome& outcome, bool footer, std::size_t budget) {
  std::string tail = footer ? result_footer() : std::string();
  return tool_result_reply(id, outcome, ResultForm{.footer = tail}, budget);
}

Json call_tool(const ToolBinding& tool, const Json& id, const Json& arguments, const CallControl& control) {
  ToolOutcome outcome = [&]() -> ToolOutcome {
    try {
      return tool.run(tool, arguments, control);
    } catch (...) {
      return make_error("TASK_ERROR: " + runtime::describe_exception(std::current_exception()));
    }
  }();
  std::string footer = tool.footer ? result_footer() : std::string();
  ResultForm form{.footer = footer,
                  .list_key = tool.catalogue->list_key,
                  .structured = gives_structured_results(control.version)};
  return tool_result_reply(id, outcome, form);
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
