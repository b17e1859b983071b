#include "mcp_server/tool_registry.h"

#include "mcp_server/companion_app.h"
#include "modules/dir_scan/dir_scan_tool.h"
#include "modules/disk_info/disk_info_tool.h"
#include "modules/find_copies/find_copies_tool.h"
#include "modules/junk_scan/junk_scan_tool.h"

namespace corvane::mcp {

namespace {

// The catalogue as the client sees it. Key order in the schemas does not
// matter: objects are written with sorted keys.
constexpr std::string_view kNoArgumentsSchema =
    R"json({"type": "object", "properties": {}, "additionalProperties": false})json";

constexpr std::string_view kEmptyScanSchema = R"json({"type": "object",
  "properties": {
    "path": {"type": "string", "description": "Directory to scan (absolute path)."},
    "recursive": {"type": "boolean", "default": true},
    "exclude_paths": {"type": "array", "items": {"type": "string"}, "default": []}},
  "required": ["path"], "additionalProperties": false})json";

constexpr CatalogueEntry kListDisks{
    "List all disks with capacity, usage ratio, filesystem and removable flag. Read-only.",
    kNoArgumentsSchema};

constexpr CatalogueEntry kDiskHealth{
    "Read SMART health for physical disks: model, type, status, power-on hours, temperature, wear "
    "leveling / remaining life. Read-only. On non-Windows this requires smartmontools.",
    kNoArgumentsSchema};

constexpr CatalogueEntry kScanJunk{
    "Scan standard system locations for junk: temp files, package-manager caches, crash dumps, OS "
    "metadata, browser/app caches, logs, and dev build artifacts. Returns categories with safety level "
    "(safe/caution/risky) and reclaimable size. Read-only \u2014 deletes nothing.",
    kNoArgumentsSchema};

constexpr CatalogueEntry kScanTopFiles{
    "Find the largest files under a directory. Read-only.",
    R"json({"type": "object",
      "properties": {
        "path": {"type": "string", "description": "Directory to scan (absolute path)."},
        "top_n": {"type": "integer", "default": 20, "description": "How many of the largest files to return (1-200)."}},
      "required": ["path"], "additionalProperties": false})json"};

constexpr CatalogueEntry kScanEmptyFiles{"Find zero-byte empty files under a directory. Read-only.",
                                         kEmptyScanSchema};

constexpr CatalogueEntry kScanEmptyFolders{
    "Find empty directories under a directory, including folders that only contain other empty "
    "folders. Read-only.",
    kEmptyScanSchema};

constexpr CatalogueEntry kFindCopies{
    "Given a seed file, locate byte-identical (SHA-256) or perceptually similar (SimHash) copies across "
    "one or more directories. Read-only \u2014 never deletes; the seed is always protected.",
    R"json({"type": "object",
      "properties": {
        "seed_path": {"type": "string", "description": "Absolute path of the file to find copies of."},
        "search_dirs": {"type": "array", "items": {"type": "string"}, "description": "Directories to search (max 50)."},
        "recursive": {"type": "boolean", "default": true},
        "match_mode": {"type": "string", "enum": ["exact", "similar"], "default": "exact"},
        "similarity_threshold": {"type": "number", "default": 0.85, "description": "0..1, only for similar mode."}},
      "required": ["seed_path", "search_dirs"], "additionalProperties": false})json"};

constexpr CatalogueEntry kGetCorvaneApp{
    "Get info about the Corvane desktop app and its download link. Call this when the user wants to "
    "actually act on scan results (delete, move to Recycle Bin, organize, encrypt, schedule), asks how to "
    "clean up the files found, or asks where to get Corvane. The MCP tools are read-only; the desktop app "
    "performs the actual operations.",
    kNoArgumentsSchema};

using dir_scan::empty_files_tool;
using dir_scan::empty_folders_tool;
using dir_scan::top_files_tool;
using disk_info::disk_health_tool;
using disk_info::list_disks_tool;
using find_copies::find_copies_tool;
using junk_scan::scan_junk_tool;
using enum PathCheck;
using enum Step;

// Each tool once, in catalogue order. The handler's request type says how
// the arguments are read. "pool from" is the first step run on the blocking
// pool: the copy finder reads and checks its own request there, the empty
// scans check their path there, and the companion tool never leaves the
// protocol thread.
constexpr ToolBinding kTools[] = {
    // handler                     name                  catalogue          path       pool from  footer
    bind_tool<list_disks_tool>(   "list_disks",         kListDisks,        none,      handle,    true),
    bind_tool<disk_health_tool>(  "disk_health",        kDiskHealth,       none,      handle,    true),
    bind_tool<scan_junk_tool>(    "scan_junk",          kScanJunk,         none,      handle,    true),
    bind_tool<top_files_tool>(    "scan_top_files",     kScanTopFiles,     exists,    handle,    true),
    bind_tool<empty_files_tool>(  "scan_empty_files",   kScanEmptyFiles,   directory, check,     true),
    bind_tool<empty_folders_tool>("scan_empty_folders", kScanEmptyFolders, directory, check,     true),
    bind_tool<find_copies_tool>(  "find_copies",        kFindCopies,       none,      read,      true),
    bind_tool<companion_app_tool>("get_corvane_app",    kGetCorvaneApp,    none,      never,     false),
};

}  // namespace

std::span<const ToolBinding> tool_bindings() { return kTools; }

const ToolBinding* find_tool(std::string_view name) {
  for (const ToolBinding& tool : kTools) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
}

Json tool_catalogue() {
  Json tools = Json::array();
  for (const ToolBinding& tool : kTools) {
    tools.push_back(Json{{"name", tool.name},
                         {"description", tool.catalogue->description},
                         {"inputSchema", Json::parse(tool.catalogue->input_schema)}});
  }
  return tools;
}

}  // namespace corvane::mcp
