// The tool side of the directory scans: the requests of scan_top_files,
// scan_empty_files and scan_empty_folders, their handlers, and the JSON form
// of their payloads. The registry checks the path before a handler runs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "modules/dir_scan/records.h"
#include "modules/tool_outcome.h"

namespace corvane::dir_scan {

void to_json(Json& out, const FileEntry& entry);
void to_json(Json& out, const EmptyFileEntry& entry);
void to_json(Json& out, const EmptyFolderEntry& entry);

struct TopFilesRequest {
  std::string path;
  std::size_t top_n = 20;
};
// "path" (required string) and "top_n".
Status read_arguments(const Json& arguments, TopFilesRequest& request);

// The file records, largest first, at most top_n of them: a JSON array.
Result<std::vector<FileEntry>> top_files_tool(const TopFilesRequest& request, ToolContext& context);

struct EmptyScanRequest {
  std::string path;
  bool recursive = true;
  std::vector<std::string> exclude_paths;
};
// "path" (required string), "recursive" (default true), "exclude_paths".
Status read_arguments(const Json& arguments, EmptyScanRequest& request);

// {"files": [...], "total_count": n}, n counting every file found. When
// more were found than a reply could list, only the first are kept, and
// "omitted_count" (found, not listed) and "truncated" join the object.
struct EmptyFiles {
  std::vector<EmptyFileEntry> files;
  std::size_t total_count = 0;
};
void to_json(Json& out, const EmptyFiles& payload);
Result<EmptyFiles> empty_files_tool(const EmptyScanRequest& request, ToolContext& context);

// {"dirs": [...], "total_count": n}, with the same counting as EmptyFiles.
struct EmptyFolders {
  std::vector<EmptyFolderEntry> dirs;
  std::size_t total_count = 0;
};
void to_json(Json& out, const EmptyFolders& payload);
Result<EmptyFolders> empty_folders_tool(const EmptyScanRequest& request, ToolContext& context);

}  // namespace corvane::dir_scan
