// The JSON side of the directory scans: payloads of scan_top_files,
// scan_empty_files and scan_empty_folders.
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

// The check made before the largest-files walk is submitted:
// "PATH_NOT_FOUND: " + path.
Status top_files_precheck(const std::string& path);

// A JSON array of file records, largest first, at most top_n long.
ToolOutcome top_files_tool(const std::string& path, std::size_t top_n);

enum class EmptyKind { files, folders };

// {"files": [...], "total_count": n} or {"dirs": [...], "total_count": n},
// after the path checks ("PATH_NOT_FOUND: ", "PATH_NOT_DIRECTORY: ").
ToolOutcome empty_items_tool(EmptyKind kind, const std::string& path, bool recursive,
                             const std::vector<std::string>& exclude_paths);

}  // namespace corvane::dir_scan
