#include "modules/find_copies/find_duplicates_tool.h"

#include <algorithm>

#include "modules/find_copies/copy_types.h"
#include "modules/find_copies/find_copies_tool.h"
#include "modules/tool_arguments.h"

namespace corvane::find_copies {

namespace {

std::uint64_t min_size_argument(const Json& arguments) {
  // The parser keeps integer literals of zero or more that fit in 64 bits
  // as unsigned; everything else is another kind of value.
  if (!arguments.is_object()) return 1;
  auto found = arguments.find("min_size");
  if (found == arguments.end() || !found->is_number_unsigned()) return 1;
  return std::max<std::uint64_t>(found->get<std::uint64_t>(), 1);
}

}  // namespace

Status read_arguments(const Json& arguments, FindDuplicatesRequest& request) {
  request.search_dirs = optional_string_list(arguments, "search_dirs");
  if (request.search_dirs.empty()) return make_error(std::string(kNoSearchDirs));
  request.recursive = optional_bool(arguments, "recursive", true);
  request.min_size = min_size_argument(arguments);
  request.exclude_paths = optional_string_list(arguments, "exclude_paths");
  request.task_id = server_task_id();
  return ok_status();
}

void to_json(Json& out, const DuplicateFile& file) { out = Json{{"modified", file.modified}, {"path", file.path}}; }

void to_json(Json& out, const DuplicateGroup& group) {
  out = Json{{"file_count", group.file_count()},
             {"files", group.files},
             {"size", group.size},
             {"wasted_size", group.wasted_size()}};
  if (group.omitted_files > 0) {
    out["omitted_count"] = group.omitted_files;
    out["truncated"] = true;
  }
}

void to_json(Json& out, const DuplicatesResult& result) {
  out = Json{{"bytes_read", result.bytes_read},         {"duplicate_count", result.duplicate_count},
             {"files_compared", result.files_compared}, {"group_count", result.group_count},
             {"groups", result.groups},                 {"wasted_size", result.wasted_size}};
  if (result.omitted_count > 0) {
    out["omitted_count"] = result.omitted_count;
    out["truncated"] = true;
  }
}

Result<DuplicatesResult> find_duplicates_tool(const FindDuplicatesRequest& request, ToolContext& context) {
  try {
    return find_duplicates(request, context);
  } catch (...) {
    // Only resource exhaustion gets here (no thread or memory for the
    // search): it could not be run to its end.
    return make_error(std::string(kTaskJoinFailed));
  }
}

}  // namespace corvane::find_copies
