#include "modules/find_copies/find_copies_tool.h"

#include <utility>

#include "modules/find_copies/process_id.h"
#include "modules/tool_arguments.h"

namespace corvane::find_copies {

namespace {

Result<MatchMode> match_mode_from(const std::optional<std::string>& text) {
  if (!text || *text == "exact") return MatchMode::exact;
  if (*text == "similar") return MatchMode::similar;
  return make_error("invalid arguments: unknown variant `" + *text + "`, expected `exact` or `similar`");
}

}  // namespace

std::string server_task_id() { return "mcp_" + std::to_string(current_process_id()); }

Status read_arguments(const Json& arguments, FindCopiesRequest& request) {
  Result<std::string> seed = required_string(arguments, "seed_path");
  if (!seed.ok()) return seed.failure();
  request.seed_path = std::move(seed).value();
  request.search_dirs = optional_string_list(arguments, "search_dirs");
  if (request.search_dirs.empty()) return make_error(std::string(kNoSearchDirs));
  request.recursive = optional_bool(arguments, "recursive", true);
  request.similarity_threshold = optional_number(arguments, "similarity_threshold");
  Result<MatchMode> mode = match_mode_from(optional_string(arguments, "match_mode"));
  if (!mode.ok()) return mode.failure();
  request.match_mode = mode.value();
  request.task_id = server_task_id();
  return ok_status();
}

void to_json(Json& out, const CopyEntry& entry) {
  out = Json{{"match_type", match_type_text(entry.match_type)},
             {"modified", entry.modified},
             {"path", entry.path},
             {"size", entry.size}};
  if (entry.similarity) out["similarity"] = *entry.similarity;
}

void to_json(Json& out, const CopySearchResult& result) {
  out = Json{{"entries", result.entries}, {"seed_path", result.seed_path}};
  if (result.omitted_count > 0) {
    out["omitted_count"] = result.omitted_count;
    out["truncated"] = true;
  }
}

Result<CopySearchResult> find_copies_tool(const FindCopiesRequest& request, ToolContext& context) {
  try {
    platform::NullProgressSink unwatched;
    SearchHost host{context.events ? *context.events : unwatched, platform::system_clock()};
    return find_copies(request, host, context);
  } catch (...) {
    // Only resource exhaustion gets here (no thread or memory for the
    // search): the search could not be run to its end.
    return make_error(std::string(kTaskJoinFailed));
  }
}

}  // namespace corvane::find_copies
