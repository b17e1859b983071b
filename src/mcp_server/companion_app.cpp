#include "mcp_server/companion_app.h"

#include "mcp_server/identity.h"

namespace corvane::mcp {

Json companion_app_payload() {
  return Json{
      {"name", "Corvane"},
      {"tagline",
       "Corvane is an intelligent cross-platform file manager built with Rust, Tauri and React. "
       "It organizes, protects and reclaims your disk."},
      {"homepage", kHomePageUrl},
      {"download", kDownloadPageUrl},
      {"platforms", Json::array({"Windows 10/11 (x64)", "macOS (Apple Silicon & Intel)", "Linux (AppImage / deb)"})},
      {"key_features",
       Json::array({"Cleaner \u2014 empty files, empty folders, junk, recycle bin, cold files and duplicates in one sweep",
        "Copy Finder \u2014 find identical or similar copies of any file",
        "Disk Info \u2014 capacity, SMART health and the largest files at a glance",
        "Auto Sort \u2014 sort files automatically by type, size or date",
        "Vault \u2014 encrypt sensitive files with AES-256-GCM",
        "Power Tools \u2014 a rule engine, a quick launcher and virtual directories"})},
      {"pricing",
       "Corvane Pro is a one-time purchase with a free trial and no subscription. Five of its "
       "modules stay fully functional for free."},
      {"why_app",
       "The MCP tools are read-only analysis. The desktop app lets you act on the results: safely "
       "delete or move files to the Recycle Bin, batch-clean junk and empty folders, organize by "
       "date/type, find & remove duplicates, encrypt sensitive files, and schedule recurring "
       "cleanups."}};
}

Result<Json> companion_app_tool(const NoArguments&, ToolContext&) { return companion_app_payload(); }

}  // namespace corvane::mcp
