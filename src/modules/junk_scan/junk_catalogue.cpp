// The nine categories. Which folders each list holds is the platform's
// table (junk_folders_*.cpp); everything here is the same everywhere.
#include "modules/junk_scan/catalogue.h"

namespace corvane::junk_scan {

namespace {

using K = JunkScanKind;
using S = SafetyLevel;
using L = FolderList;

constexpr std::string_view kCrashDumps[] = {"*.dmp", "*.stackdump", "*.crash"};
constexpr std::string_view kOsMetadata[] = {"Thumbs.db", ".DS_Store", "desktop.ini", "ehthumbs.db"};
constexpr std::string_view kLogs[] = {"*.log"};
constexpr std::string_view kBuildOutput[] = {"node_modules", "target", ".gradle", "__pycache__", ".next", "dist",
                                             "build"};

constexpr std::span<const std::string_view> kNoPatterns{};

constexpr JunkLocation kCatalogue[] = {
    // kind                recursive  patterns      id                base folders           safety
    {K::TopLevelEntries,   false,     kNoPatterns,  "system_temp",    L::temporary,          S::Safe},
    {K::TopLevelEntries,   false,     kNoPatterns,  "package_cache",  L::package_caches,     S::Safe},
    {K::FilePatterns,      false,     kCrashDumps,  "crash_dumps",    L::crash_dump_folders, S::Safe},
    {K::FilePatterns,      true,      kOsMetadata,  "os_metadata",    L::user_documents,     S::Safe},
    {K::TopLevelEntries,   false,     kNoPatterns,  "browser_cache",  L::browser_caches,     S::Caution},
    {K::TopLevelEntries,   false,     kNoPatterns,  "app_cache",      L::app_caches,         S::Caution},
    {K::TopLevelEntries,   false,     kNoPatterns,  "thumbnails",     L::thumbnail_caches,   S::Caution},
    {K::FilePatterns,      true,      kLogs,        "logs",           L::log_folders,        S::Caution},
    {K::FolderNames,       false,     kBuildOutput, "dev_artifacts",  L::development_roots,  S::Risky},
};

}  // namespace

std::span<const JunkLocation> junk_catalogue() { return kCatalogue; }

std::string_view safety_text(SafetyLevel level) {
  switch (level) {
    case SafetyLevel::Safe:
      return "safe";
    case SafetyLevel::Caution:
      return "caution";
    case SafetyLevel::Risky:
      return "risky";
  }
  return "risky";
}

}  // namespace corvane::junk_scan
