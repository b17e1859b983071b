#include "modules/dir_scan/dir_scan_tool.h"

#include "modules/dir_scan/scans.h"
#include "modules/tool_arguments.h"

namespace corvane::dir_scan {

namespace {

Json optional_text(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

// {list_key: records, "total_count": total}, marked when records were left out.
template <typename Record>
Json counted_list(const char* list_key, const std::vector<Record>& records, std::size_t total) {
  Json out{{list_key, records}, {"total_count", total}};
  if (total > records.size()) {
    out["omitted_count"] = total - records.size();
    out["truncated"] = true;
  }
  return out;
}

}  // namespace

void to_json(Json& out, const FileEntry& e) {
  out = Json{{"path", e.path}, {"name", e.name}, {"size", e.size}, {"extension", optional_text(e.extension)},
             {"modified", e.modified}};
}

void to_json(Json& out, const EmptyFileEntry& e) {
  out = Json{{"path", e.path},         {"name", e.name},         {"size", e.size},
             {"extension", optional_text(e.extension)}, {"modified", e.modified}, {"accessed", e.accessed}};
}

void to_json(Json& out, const EmptyFolderEntry& e) {
  out = Json{{"path", e.path}, {"name", e.name}, {"recursive_empty", e.recursive_empty}};
}

void to_json(Json& out, const EmptyFiles& payload) { out = counted_list("files", payload.files, payload.total_count); }

void to_json(Json& out, const EmptyFolders& payload) { out = counted_list("dirs", payload.dirs, payload.total_count); }

Status read_arguments(const Json& arguments, TopFilesRequest& request) {
  Result<std::string> path = required_string(arguments, "path");
  if (!path.ok()) return path.failure();
  request.path = std::move(path).value();
  request.top_n = static_cast<std::size_t>(top_n_argument(arguments));
  return ok_status();
}

Status read_arguments(const Json& arguments, EmptyScanRequest& request) {
  Result<std::string> path = required_string(arguments, "path");
  if (!path.ok()) return path.failure();
  request.path = std::move(path).value();
  request.recursive = optional_bool(arguments, "recursive", true);
  request.exclude_paths = optional_string_list(arguments, "exclude_paths");
  return ok_status();
}

Result<std::vector<FileEntry>> top_files_tool(const TopFilesRequest& request, ToolContext& context) {
  return scan_top_files(request.path, request.top_n, context.hooks());
}

namespace {

// Either empty scan as a tool: the records a reply can list, and the count
// of all found.
template <typename Payload, typename Entry>
Payload empty_scan(const EmptyScanRequest& request, ToolContext& context,
                   void (*scan)(const std::string&, const EmptyScanOptions&, KeptRecords<Entry>&)) {
  EmptyScanOptions options{request.recursive, request.exclude_paths};
  options.hooks = context.hooks();
  KeptRecords<Entry> found;
  scan(request.path, options, found);
  return Payload{std::move(found.records()), found.found()};
}

}  // namespace

Result<EmptyFiles> empty_files_tool(const EmptyScanRequest& request, ToolContext& context) {
  return empty_scan<EmptyFiles, EmptyFileEntry>(request, context, &scan_empty_files);
}

Result<EmptyFolders> empty_folders_tool(const EmptyScanRequest& request, ToolContext& context) {
  return empty_scan<EmptyFolders, EmptyFolderEntry>(request, context, &scan_empty_folders);
}

}  // namespace corvane::dir_scan
