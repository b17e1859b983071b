#include "modules/find_copies/find_copies_tool.h"

#include <utility>

#include "modules/find_copies/process_id.h"

namespace corvane::find_copies {

namespace {

Result<MatchMode> match_mode_from(const Json& arguments) {
  auto it = arguments.find("match_mode");
  if (it == arguments.end() || !it->is_string()) return MatchMode::exact;
  const std::string& text = it->get_ref<const std::string&>();
  if (text == "exact") return MatchMode::exact;
  if (text == "similar") return MatchMode::similar;
  return make_error("invalid arguments: unknown variant `" + text + "`, expected `exact` or `similar`");
}

}  // namespace

std::string server_task_id() { return "mcp_" + std::to_string(current_process_id()); }

Result<FindCopiesRequest> find_copies_request(const Json& arguments, std::string task_id) {
  static const Json kNoArguments = Json::object();
  const Json& args = arguments.is_object() ? arguments : kNoArguments;

  FindCopiesRequest request;
  auto seed = args.find("seed_path");
  if (seed == args.end() || !seed->is_string()) return make_error("missing required string argument: seed_path");
  request.seed_path = seed->get<std::string>();

  if (auto dirs = args.find("search_dirs"); dirs != args.end() && dirs->is_array()) {
    for (const Json& dir : *dirs) {
      if (dir.is_string()) request.search_dirs.push_back(dir.get<std::string>());
    }
  }
  if (request.search_dirs.empty()) return make_error(std::string(kNoSearchDirs));

  if (auto recursive = args.find("recursive"); recursive != args.end() && recursive->is_boolean()) {
    request.recursive = recursive->get<bool>();
  }
  if (auto threshold = args.find("similarity_threshold"); threshold != args.end() && threshold->is_number()) {
    request.similarity_threshold = threshold->get<double>();
  }
  Result<MatchMode> mode = match_mode_from(args);
  if (!mode.ok()) return make_error(mode.error());
  request.match_mode = mode.value();
  request.task_id = std::move(task_id);
  return request;
}

Json to_json(const CopyEntry& entry) {
  Json row = {{"match_type", match_type_text(entry.match_type)},
              {"modified", entry.modified},
              {"path", entry.path},
              {"size", entry.size}};
  if (entry.similarity) row["similarity"] = *entry.similarity;
  return row;
}

Json to_json(const CopySearchResult& result) {
  Json entries = Json::array();
  for (const CopyEntry& entry : result.entries) entries.push_back(to_json(entry));
  return Json{{"entries", std::move(entries)}, {"seed_path", result.seed_path}};
}

ToolOutcome find_copies_tool(const Json& arguments, SearchHost& host) {
  try {
    Result<FindCopiesRequest> request = find_copies_request(arguments, server_task_id());
    if (!request.ok()) return make_error(request.error());
    Result<CopySearchResult> found = find_copies(request.value(), host);
    if (!found.ok()) return make_error(found.error());
    return to_json(found.value());
  } catch (...) {
    // Only resource exhaustion gets here (no thread or memory for the
    // search): the search could not be run to its end.
    return make_error(std::string(kTaskJoinFailed));
  }
}

ToolOutcome find_copies_tool(const Json& arguments) {
  platform::NullProgressSink sink;
  SearchHost host{sink, platform::system_clock(), std::stop_source{}};
  return find_copies_tool(arguments, host);
}

}  // namespace corvane::find_copies
