#include "mcp_server/tool_registry.h"

#include <algorithm>
#include <iterator>

#include "mcp_server/companion_app.h"
#include "mcp_server/wording.h"
#include "modules/dir_scan/dir_scan_tool.h"
#include "modules/dir_scan/folder_sizes.h"
#include "modules/disk_info/disk_info_tool.h"
#include "modules/find_copies/find_copies_tool.h"
#include "modules/find_copies/find_duplicates_tool.h"
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

// The output schemas describe the structured copy of each payload. A list
// the reply budget may cut has an object around it, which then gains
// "truncated" and "omitted_count": optional members wherever such a list is.
constexpr std::string_view kListDisksOutput = R"json({"type": "object",
  "properties": {
    "disks": {"type": "array", "items": {"type": "object",
      "properties": {
        "mount_point": {"type": "string"},
        "name": {"type": "string", "description": "The volume label; empty when it has none."},
        "file_system": {"type": "string"},
        "total_bytes": {"type": "integer", "minimum": 0},
        "used_bytes": {"type": "integer", "minimum": 0},
        "available_bytes": {"type": "integer", "minimum": 0},
        "usage_ratio": {"type": "number", "description": "used_bytes / total_bytes; 0 for a zero total."},
        "is_removable": {"type": "boolean"}},
      "required": ["mount_point", "name", "file_system", "total_bytes", "used_bytes", "available_bytes",
                   "usage_ratio", "is_removable"],
      "additionalProperties": false}},
    "truncated": {"type": "boolean"},
    "omitted_count": {"type": "integer", "minimum": 0}},
  "required": ["disks"], "additionalProperties": false})json";

constexpr std::string_view kDiskHealthOutput = R"json({"type": "object",
  "properties": {
    "disks": {"type": "array", "items": {"type": "object",
      "properties": {
        "device_id": {"type": "string"},
        "model": {"type": "string"},
        "serial": {"type": "string"},
        "disk_type": {"type": "string", "enum": ["NVMe", "SSD", "HDD", "USB", "Unknown"]},
        "status_raw": {"type": "string", "description": "The verdict as the system states it."},
        "status": {"type": "string", "enum": ["good", "warning", "critical", "unknown"]},
        "power_on_hours": {"type": ["integer", "null"], "minimum": 0},
        "reallocated_sectors": {"type": ["integer", "null"], "minimum": 0},
        "wear_leveling_pct": {"type": ["integer", "null"], "minimum": 0, "maximum": 100},
        "temperature_celsius": {"type": ["integer", "null"]},
        "total_bytes_written_gb": {"type": ["integer", "null"], "minimum": 0},
        "nand_writes_gb": {"type": ["integer", "null"], "minimum": 0},
        "remaining_life_pct": {"type": ["integer", "null"], "minimum": 0, "maximum": 100},
        "error": {"type": ["string", "null"], "description": "Why counters are missing, when they are."}},
      "required": ["device_id", "model", "serial", "disk_type", "status_raw", "status", "power_on_hours",
                   "reallocated_sectors", "wear_leveling_pct", "temperature_celsius", "total_bytes_written_gb",
                   "nand_writes_gb", "remaining_life_pct", "error"],
      "additionalProperties": false}},
    "truncated": {"type": "boolean"},
    "omitted_count": {"type": "integer", "minimum": 0}},
  "required": ["disks"], "additionalProperties": false})json";

constexpr std::string_view kScanJunkOutput = R"json({"type": "object",
  "properties": {
    "categories": {"type": "array", "items": {"type": "object",
      "properties": {
        "id": {"type": "string"},
        "safety": {"type": "string", "enum": ["safe", "caution", "risky"]},
        "total_size": {"type": "integer", "minimum": 0, "description": "Bytes of every item found, listed or not."},
        "item_count": {"type": "integer", "minimum": 0},
        "paths": {"type": "array", "items": {"type": "object",
          "properties": {
            "path": {"type": "string"},
            "size": {"type": "integer", "minimum": 0},
            "is_dir": {"type": "boolean"}},
          "required": ["path", "size", "is_dir"], "additionalProperties": false}},
        "truncated": {"type": "boolean"},
        "omitted_count": {"type": "integer", "minimum": 0}},
      "required": ["id", "safety", "total_size", "item_count", "paths"], "additionalProperties": false}},
    "total_size": {"type": "integer", "minimum": 0}},
  "required": ["categories", "total_size"], "additionalProperties": false})json";

constexpr std::string_view kScanTopFilesOutput = R"json({"type": "object",
  "properties": {
    "files": {"type": "array", "description": "Largest first.", "items": {"type": "object",
      "properties": {
        "path": {"type": "string"},
        "name": {"type": "string"},
        "size": {"type": "integer", "minimum": 0},
        "extension": {"type": ["string", "null"]},
        "modified": {"type": "integer", "description": "Last write, in seconds since 1970 (UTC)."}},
      "required": ["path", "name", "size", "extension", "modified"], "additionalProperties": false}},
    "truncated": {"type": "boolean"},
    "omitted_count": {"type": "integer", "minimum": 0}},
  "required": ["files"], "additionalProperties": false})json";

constexpr std::string_view kScanFolderSizesOutput = R"json({"type": "object",
  "$defs": {
    "folder": {"type": "object",
      "properties": {
        "name": {"type": "string"},
        "path": {"type": "string"},
        "size": {"type": "integer", "minimum": 0, "description": "Bytes of every file below it."},
        "allocated_size": {"type": "integer", "minimum": 0, "description": "Disk space those files take."},
        "file_count": {"type": "integer", "minimum": 0},
        "folder_count": {"type": "integer", "minimum": 0, "description": "Folders at every level below it."},
        "modified": {"type": "integer", "minimum": 0, "description": "Newest last write of a file below it, in seconds since 1970 (UTC); 0 without files."},
        "files_size": {"type": "integer", "minimum": 0, "description": "Bytes of the files directly in it."},
        "files_count": {"type": "integer", "minimum": 0},
        "folders": {"type": "array", "description": "Largest first; present above the depth shown.",
                    "items": {"$ref": "#/$defs/folder"}},
        "omitted_count": {"type": "integer", "minimum": 0, "description": "Subfolders not listed."},
        "omitted_size": {"type": "integer", "minimum": 0},
        "truncated": {"type": "boolean"}},
      "required": ["name", "path", "size", "allocated_size", "file_count", "folder_count", "modified", "files_size",
                   "files_count"],
      "additionalProperties": false}},
  "properties": {
    "path": {"type": "string"},
    "size": {"type": "integer", "minimum": 0},
    "allocated_size": {"type": "integer", "minimum": 0},
    "file_count": {"type": "integer", "minimum": 0},
    "folder_count": {"type": "integer", "minimum": 0},
    "unreadable_count": {"type": "integer", "minimum": 0, "description": "Folders that could not be listed."},
    "files_size": {"type": "integer", "minimum": 0},
    "files_count": {"type": "integer", "minimum": 0},
    "folders": {"type": "array", "description": "Largest first.", "items": {"$ref": "#/$defs/folder"}},
    "omitted_count": {"type": "integer", "minimum": 0},
    "omitted_size": {"type": "integer", "minimum": 0},
    "truncated": {"type": "boolean"},
    "by_extension": {"type": "object",
      "properties": {
        "extensions": {"type": "array", "description": "Largest total first.", "items": {"type": "object",
          "properties": {
            "extension": {"type": ["string", "null"]},
            "size": {"type": "integer", "minimum": 0},
            "file_count": {"type": "integer", "minimum": 0}},
          "required": ["extension", "size", "file_count"], "additionalProperties": false}},
        "omitted_count": {"type": "integer", "minimum": 0, "description": "Extensions not listed."},
        "omitted_size": {"type": "integer", "minimum": 0},
        "truncated": {"type": "boolean"}},
      "required": ["extensions"], "additionalProperties": false}},
  "required": ["path", "size", "allocated_size", "file_count", "folder_count", "unreadable_count", "files_size",
               "files_count", "folders", "by_extension"],
  "additionalProperties": false})json";

constexpr std::string_view kScanEmptyFilesOutput = R"json({"type": "object",
  "properties": {
    "files": {"type": "array", "items": {"type": "object",
      "properties": {
        "path": {"type": "string"},
        "name": {"type": "string"},
        "size": {"type": "integer", "minimum": 0, "maximum": 0},
        "extension": {"type": ["string", "null"]},
        "modified": {"type": "integer", "description": "Last write, in seconds since 1970 (UTC)."},
        "accessed": {"type": "integer", "description": "Last access, in seconds since 1970 (UTC)."}},
      "required": ["path", "name", "size", "extension", "modified", "accessed"], "additionalProperties": false}},
    "total_count": {"type": "integer", "minimum": 0, "description": "Every empty file found, listed or not."},
    "truncated": {"type": "boolean"},
    "omitted_count": {"type": "integer", "minimum": 0}},
  "required": ["files", "total_count"], "additionalProperties": false})json";

constexpr std::string_view kScanEmptyFoldersOutput = R"json({"type": "object",
  "properties": {
    "dirs": {"type": "array", "items": {"type": "object",
      "properties": {
        "path": {"type": "string"},
        "name": {"type": "string"},
        "recursive_empty": {"type": "boolean", "description": "true: holds only empty folders; false: holds nothing."}},
      "required": ["path", "name", "recursive_empty"], "additionalProperties": false}},
    "total_count": {"type": "integer", "minimum": 0, "description": "Every empty folder found, listed or not."},
    "truncated": {"type": "boolean"},
    "omitted_count": {"type": "integer", "minimum": 0}},
  "required": ["dirs", "total_count"], "additionalProperties": false})json";

constexpr std::string_view kFindCopiesOutput = R"json({"type": "object",
  "properties": {
    "seed_path": {"type": "string"},
    "entries": {"type": "array", "description": "The seed first, then its copies.", "items": {"type": "object",
      "properties": {
        "match_type": {"type": "string", "enum": ["seed", "identical", "similar"]},
        "path": {"type": "string"},
        "size": {"type": "integer", "minimum": 0},
        "modified": {"type": "integer", "minimum": 0, "description": "Last write, in seconds since 1970 (UTC)."},
        "similarity": {"type": "number", "description": "Similar matches only: 0..1."}},
      "required": ["match_type", "path", "size", "modified"], "additionalProperties": false}},
    "truncated": {"type": "boolean"},
    "omitted_count": {"type": "integer", "minimum": 0}},
  "required": ["seed_path", "entries"], "additionalProperties": false})json";

constexpr std::string_view kFindDuplicatesOutput = R"json({"type": "object",
  "properties": {
    "groups": {"type": "array", "description": "Most wasted space first.", "items": {"type": "object",
      "properties": {
        "size": {"type": "integer", "minimum": 1, "description": "Bytes of each file."},
        "file_count": {"type": "integer", "minimum": 2},
        "wasted_size": {"type": "integer", "minimum": 0, "description": "size * (file_count - 1)."},
        "files": {"type": "array", "items": {"type": "object",
          "properties": {
            "path": {"type": "string"},
            "modified": {"type": "integer", "minimum": 0, "description": "Last write, in seconds since 1970 (UTC)."}},
          "required": ["path", "modified"], "additionalProperties": false}},
        "truncated": {"type": "boolean"},
        "omitted_count": {"type": "integer", "minimum": 0}},
      "required": ["size", "file_count", "wasted_size", "files"], "additionalProperties": false}},
    "group_count": {"type": "integer", "minimum": 0, "description": "Every group found, listed or not."},
    "duplicate_count": {"type": "integer", "minimum": 0, "description": "Files beyond the first of every group."},
    "wasted_size": {"type": "integer", "minimum": 0, "description": "Bytes the extra copies of every group take."},
    "files_compared": {"type": "integer", "minimum": 0, "description": "Files that shared their size with another."},
    "bytes_read": {"type": "integer", "minimum": 0},
    "truncated": {"type": "boolean"},
    "omitted_count": {"type": "integer", "minimum": 0}},
  "required": ["groups", "group_count", "duplicate_count", "wasted_size", "files_compared", "bytes_read"],
  "additionalProperties": false})json";

constexpr std::string_view kGetCorvaneAppOutput = R"json({"type": "object",
  "properties": {
    "name": {"type": "string"},
    "tagline": {"type": "string"},
    "homepage": {"type": "string"},
    "download": {"type": "string"},
    "platforms": {"type": "array", "items": {"type": "string"}},
    "key_features": {"type": "array", "items": {"type": "string"}},
    "pricing": {"type": "string"},
    "why_app": {"type": "string"}},
  "required": ["name", "tagline", "homepage", "download", "platforms", "key_features", "pricing", "why_app"],
  "additionalProperties": false})json";

// One entry per tool. A new tool's entry gives: its description and
// argument schema (every session); its title, hints (kReadsOnly: every tool
// of this server only reads) and output schema (sessions of 2025-06-18 and
// later); for an array payload, list_key, the member that holds it in the
// structured copy; and the wording of its progress, if it reports any.
// The static_assert under the table refuses a row without them.
constexpr CatalogueEntry kListDisks{
    .description = "List all disks with capacity, usage ratio, filesystem and removable flag. Read-only.",
    .input_schema = kNoArgumentsSchema,
    .title = "List disks",
    .output_schema = kListDisksOutput,
    .hints = kReadsOnly,
    .list_key = "disks",
    .progress = &checked_volumes};

constexpr CatalogueEntry kDiskHealth{
    .description = "Read SMART health for physical disks: model, type, status, power-on hours, temperature, wear "
                   "leveling / remaining life. Read-only. On non-Windows this requires smartmontools.",
    .input_schema = kNoArgumentsSchema,
    .title = "Disk health",
    .output_schema = kDiskHealthOutput,
    .hints = kReadsOnly,
    .list_key = "disks",
    .progress = &read_disks};

constexpr CatalogueEntry kScanJunk{
    .description = "Scan standard system locations for junk: temp files, package-manager caches, crash dumps, OS "
                   "metadata, browser/app caches, logs, and dev build artifacts. Returns categories with safety level "
                   "(safe/caution/risky) and reclaimable size. Read-only \u2014 deletes nothing.",
    .input_schema = kNoArgumentsSchema,
    .title = "Junk scan",
    .output_schema = kScanJunkOutput,
    .hints = kReadsOnly,
    .progress = &listed_entries};

constexpr CatalogueEntry kScanTopFiles{
    .description = "Find the largest files under a directory. Read-only.",
    .input_schema = R"json({"type": "object",
      "properties": {
        "path": {"type": "string", "description": "Directory to scan (absolute path)."},
        "top_n": {"type": "integer", "default": 20, "description": "How many of the largest files to return (1-200)."}},
      "required": ["path"], "additionalProperties": false})json",
    .title = "Largest files",
    .output_schema = kScanTopFilesOutput,
    .hints = kReadsOnly,
    .list_key = "files",
    .progress = &listed_entries};

constexpr CatalogueEntry kScanFolderSizes{
    .description = "Show where the space under a directory goes: its total size, the largest subfolders as a tree, "
                   "and the file types that take the most space. Read-only.",
    .input_schema = R"json({"type": "object",
      "properties": {
        "path": {"type": "string", "description": "Directory to scan (absolute path)."},
        "depth": {"type": "integer", "default": 2, "description": "How many levels of subfolders the tree shows (1-8)."},
        "top_n": {"type": "integer", "default": 10, "description": "The most subfolders shown inside each folder (1-100)."},
        "exclude_paths": {"type": "array", "items": {"type": "string"}, "default": []}},
      "required": ["path"], "additionalProperties": false})json",
    .title = "Folder sizes",
    .output_schema = kScanFolderSizesOutput,
    .hints = kReadsOnly,
    .progress = &listed_entries};

constexpr CatalogueEntry kScanEmptyFiles{
    .description = "Find zero-byte empty files under a directory. Read-only.",
    .input_schema = kEmptyScanSchema,
    .title = "Empty files",
    .output_schema = kScanEmptyFilesOutput,
    .hints = kReadsOnly,
    .progress = &listed_entries};

constexpr CatalogueEntry kScanEmptyFolders{
    .description = "Find empty directories under a directory, including folders that only contain other empty "
                   "folders. Read-only.",
    .input_schema = kEmptyScanSchema,
    .title = "Empty folders",
    .output_schema = kScanEmptyFoldersOutput,
    .hints = kReadsOnly,
    .progress = &listed_entries};

constexpr CatalogueEntry kFindCopies{
    .description = "Given a seed file, locate byte-identical (SHA-256) or perceptually similar (SimHash) copies across "
                   "one or more directories. Read-only \u2014 never deletes; the seed is always protected.",
    .input_schema = R"json({"type": "object",
      "properties": {
        "seed_path": {"type": "string", "description": "Absolute path of the file to find copies of."},
        "search_dirs": {"type": "array", "items": {"type": "string"}, "description": "Directories to search (max 50)."},
        "recursive": {"type": "boolean", "default": true},
        "match_mode": {"type": "string", "enum": ["exact", "similar"], "default": "exact"},
        "similarity_threshold": {"type": "number", "default": 0.85, "description": "0..1, only for similar mode."}},
      "required": ["seed_path", "search_dirs"], "additionalProperties": false})json",
    .title = "Find copies",
    .output_schema = kFindCopiesOutput,
    .hints = kReadsOnly,
    .progress = &compared_candidates};

constexpr CatalogueEntry kFindDuplicates{
    .description = "Find groups of byte-identical files (SHA-256) under one or more directories, the groups that waste "
                   "the most space first. Read-only \u2014 deletes nothing.",
    .input_schema = R"json({"type": "object",
      "properties": {
        "search_dirs": {"type": "array", "items": {"type": "string"}, "description": "Directories to search (max 50)."},
        "recursive": {"type": "boolean", "default": true},
        "min_size": {"type": "integer", "default": 1, "description": "Files smaller than this many bytes are not compared."},
        "exclude_paths": {"type": "array", "items": {"type": "string"}, "default": []}},
      "required": ["search_dirs"], "additionalProperties": false})json",
    .title = "Duplicate files",
    .output_schema = kFindDuplicatesOutput,
    .hints = kReadsOnly,
    .progress = &compared_bytes};

constexpr CatalogueEntry kGetCorvaneApp{
    .description = "Get info about the Corvane desktop app and its download link. Call this when the user wants to "
                   "actually act on scan results (delete, move to Recycle Bin, organize, encrypt, schedule), asks how "
                   "to clean up the files found, or asks where to get Corvane. The MCP tools are read-only; the "
                   "desktop app performs the actual operations.",
    .input_schema = kNoArgumentsSchema,
    .title = "Corvane desktop app",
    .output_schema = kGetCorvaneAppOutput,
    .hints = kReadsOnly};

using dir_scan::empty_files_tool;
using dir_scan::empty_folders_tool;
using dir_scan::folder_sizes_tool;
using dir_scan::top_files_tool;
using disk_info::disk_health_tool;
using disk_info::list_disks_tool;
using find_copies::find_copies_tool;
using find_copies::find_duplicates_tool;
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
    bind_tool<folder_sizes_tool>( "scan_folder_sizes",  kScanFolderSizes,  directory, check,     true),
    bind_tool<empty_files_tool>(  "scan_empty_files",   kScanEmptyFiles,   directory, check,     true),
    bind_tool<empty_folders_tool>("scan_empty_folders", kScanEmptyFolders, directory, check,     true),
    bind_tool<find_copies_tool>(  "find_copies",        kFindCopies,       none,      read,      true),
    bind_tool<find_duplicates_tool>("find_duplicates",  kFindDuplicates,   none,      handle,    true),
    bind_tool<companion_app_tool>("get_corvane_app",    kGetCorvaneApp,    none,      never,     false),
};

constexpr bool has_modern_entries(const ToolBinding& tool) {
  const CatalogueEntry& entry = *tool.catalogue;
  return !entry.title.empty() && !entry.output_schema.empty() && entry.hints == kReadsOnly;
}
static_assert(std::all_of(std::begin(kTools), std::end(kTools), has_modern_entries),
              "every tool needs a title, an output schema and the read-only hints");

Json annotations(const ToolHints& hints) {
  return Json{{"readOnlyHint", hints.read_only},
              {"destructiveHint", hints.destructive},
              {"idempotentHint", hints.idempotent},
              {"openWorldHint", hints.open_world}};
}

}  // namespace

std::span<const ToolBinding> tool_bindings() { return kTools; }

const ToolBinding* find_tool(std::string_view name) {
  for (const ToolBinding& tool : kTools) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
}

Json tool_catalogue(ProtocolVersion version) {
  Json tools = Json::array();
  for (const ToolBinding& tool : kTools) {
    const CatalogueEntry& entry = *tool.catalogue;
    Json listed{{"name", tool.name},
                {"description", entry.description},
                {"inputSchema", Json::parse(entry.input_schema)}};
    if (gives_structured_results(version)) {
      listed["title"] = entry.title;
      listed["annotations"] = annotations(entry.hints);
      listed["outputSchema"] = Json::parse(entry.output_schema);
    }
    tools.push_back(std::move(listed));
  }
  return tools;
}

}  // namespace corvane::mcp
