#include "modules/dir_scan/dir_scan_tool.h"

#include "modules/dir_scan/scans.h"

namespace corvane::dir_scan {

namespace {

Json optional_text(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

template <typename Record>
Json array_of(const std::vector<Record>& records) {
  Json out = Json::array();
  for (const Record& r : records) out.push_back(r);
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

Status top_files_precheck(const std::string& path) { return check_path_exists(path); }

ToolOutcome top_files_tool(const std::string& path, std::size_t top_n) {
  return array_of(scan_top_files(path, top_n));
}

ToolOutcome empty_items_tool(EmptyKind kind, const std::string& path, bool recursive,
                             const std::vector<std::string>& exclude_paths) {
  Status checked = check_path_is_directory(path);
  if (!checked.ok()) return make_error(checked.error());
  EmptyScanOptions options{recursive, exclude_paths, kResultCap};
  Json records = kind == EmptyKind::files ? array_of(scan_empty_files(path, options))
                                          : array_of(scan_empty_folders(path, options));
  std::size_t count = records.size();
  return Json{{kind == EmptyKind::files ? "files" : "dirs", std::move(records)}, {"total_count", count}};
}

}  // namespace corvane::dir_scan
