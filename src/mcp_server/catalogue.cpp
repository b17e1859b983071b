#include "mcp_server/catalogue.h"

namespace corvane::mcp {

namespace {

// The catalogue as the client sees it, in tool order. Key order here does
// not matter: objects are written with sorted keys.
constexpr const char* kCatalogue = R"json([
  {"name": "list_disks",
   "description": "List all disks with capacity, usage ratio, filesystem and removable flag. Read-only.",
   "inputSchema": {"type": "object", "properties": {}, "additionalProperties": false}},

  {"name": "disk_health",
   "description": "Read SMART health for physical disks: model, type, status, power-on hours, temperature, wear leveling / remaining life. Read-only. On non-Windows this requires smartmontools.",
   "inputSchema": {"type": "object", "properties": {}, "additionalProperties": false}},

  {"name": "scan_junk",
   "description": "Scan standard system locations for junk: temp files, package-manager caches, crash dumps, OS metadata, browser/app caches, logs, and dev build artifacts. Returns categories with safety level (safe/caution/risky) and reclaimable size. Read-only \u2014 deletes nothing.",
   "inputSchema": {"type": "object", "properties": {}, "additionalProperties": false}},

  {"name": "scan_top_files",
   "description": "Find the largest files under a directory. Read-only.",
   "inputSchema": {"type": "object",
     "properties": {
       "path": {"type": "string", "description": "Directory to scan (absolute path)."},
       "top_n": {"type": "integer", "default": 20, "description": "How many of the largest files to return (1-200)."}},
     "required": ["path"], "additionalProperties": false}},

  {"name": "scan_empty_files",
   "description": "Find zero-byte empty files under a directory. Read-only.",
   "inputSchema": {"type": "object",
     "properties": {
       "path": {"type": "string", "description": "Directory to scan (absolute path)."},
       "recursive": {"type": "boolean", "default": true},
       "exclude_paths": {"type": "array", "items": {"type": "string"}, "default": []}},
     "required": ["path"], "additionalProperties": false}},

  {"name": "scan_empty_folders",
   "description": "Find empty directories under a directory, including folders that only contain other empty folders. Read-only.",
   "inputSchema": {"type": "object",
     "properties": {
       "path": {"type": "string", "description": "Directory to scan (absolute path)."},
       "recursive": {"type": "boolean", "default": true},
       "exclude_paths": {"type": "array", "items": {"type": "string"}, "default": []}},
     "required": ["path"], "additionalProperties": false}},

  {"name": "find_copies",
   "description": "Given a seed file, locate byte-identical (SHA-256) or perceptually similar (SimHash) copies across one or more directories. Read-only \u2014 never deletes; the seed is always protected.",
   "inputSchema": {"type": "object",
     "properties": {
       "seed_path": {"type": "string", "description": "Absolute path of the file to find copies of."},
       "search_dirs": {"type": "array", "items": {"type": "string"}, "description": "Directories to search (max 50)."},
       "recursive": {"type": "boolean", "default": true},
       "match_mode": {"type": "string", "enum": ["exact", "similar"], "default": "exact"},
       "similarity_threshold": {"type": "number", "default": 0.85, "description": "0..1, only for similar mode."}},
     "required": ["seed_path", "search_dirs"], "additionalProperties": false}},

  {"name": "get_corvane_app",
   "description": "Get info about the Corvane desktop app and its download link. Call this when the user wants to actually act on scan results (delete, move to Recycle Bin, organize, encrypt, schedule), asks how to clean up the files found, or asks where to get Corvane. The MCP tools are read-only; the desktop app performs the actual operations.",
   "inputSchema": {"type": "object", "properties": {}, "additionalProperties": false}}
])json";

}  // namespace

Json tool_catalogue() { return Json::parse(kCatalogue); }

}  // namespace corvane::mcp
