// The base folders on Linux (and other POSIX systems): HOME plays the part
// of USERPROFILE, the XDG cache folder that of LOCALAPPDATA. Rows of a list
// appear in list order; a row whose root is not set contributes nothing.
#include "modules/junk_scan/folder_table.h"
#include "platform/path.h"

namespace corvane::junk_scan {

namespace {

using L = FolderList;

constexpr FolderRow kFolderRows[] = {
    // list                  root                  appended
    {L::temporary,           Root::temp_folder,    ""},
    {L::temporary,           Root::fixed,          "/var/tmp"},

    {L::crash_dump_folders,  Root::temporary_list, ""},
    {L::crash_dump_folders,  Root::fixed,          "/var/crash"},

    {L::package_caches,      Root::profile,        ".npm/_cacache"},
    {L::package_caches,      Root::profile,        ".cargo/registry/cache"},
    {L::package_caches,      Root::user_local,     "pip"},
    {L::package_caches,      Root::user_local,     "yarn"},
    {L::package_caches,      Root::user_local,     "go-build"},

    {L::user_documents,      Root::profile,        "Desktop"},
    {L::user_documents,      Root::profile,        "Downloads"},
    {L::user_documents,      Root::profile,        "Documents"},

    {L::browser_caches,      Root::user_local,     "google-chrome/Default/Cache"},
    {L::browser_caches,      Root::user_local,     "chromium/Default/Cache"},
    {L::browser_caches,      Root::user_local,     "microsoft-edge/Default/Cache"},
    {L::browser_caches,      Root::user_local,     "mozilla/firefox"},

    {L::app_caches,          Root::user_local,     ""},  // each application's folder is one item

    {L::thumbnail_caches,    Root::user_local,     "thumbnails"},

    {L::log_folders,         Root::user_state,     ""},
    {L::log_folders,         Root::fixed,          "/var/log"},

    {L::development_roots,   Root::profile,        "Documents"},
    {L::development_roots,   Root::profile,        "Projects"},
    {L::development_roots,   Root::profile,        "Developer"},
    {L::development_roots,   Root::profile,        "dev"},
    {L::development_roots,   Root::profile,        "code"},
    {L::development_roots,   Root::profile,        "workspace"},
    {L::development_roots,   Root::profile,        "repos"},
    {L::development_roots,   Root::profile,        "src"},
    {L::development_roots,   Root::profile,        "projects"},
};

// An XDG folder variable, or HOME + `fallback` when it is unset or not
// absolute (the XDG rules ignore relative values). Nothing without HOME.
std::optional<std::string> xdg_folder(const Environment& environment, std::string_view variable,
                                      std::string_view fallback) {
  auto home = environment.variable("HOME");
  if (!home) return std::nullopt;
  auto value = environment.variable(variable);
  if (value && value->front() == '/') return value;
  return platform::join_path(*home, fallback);
}

}  // namespace

std::span<const FolderRow> folder_rows() { return kFolderRows; }

std::optional<std::string> root_folder(Root root, const Environment& environment) {
  switch (root) {
    case Root::temp_folder: {
      auto temp = environment.temp_folder();
      if (!temp.ok()) return std::nullopt;
      return std::move(temp).value();
    }
    case Root::profile:
      return environment.variable("HOME");
    case Root::user_local:
      return xdg_folder(environment, "XDG_CACHE_HOME", ".cache");
    case Root::user_state:
      return xdg_folder(environment, "XDG_STATE_HOME", ".local/state");
    case Root::local_app_data:
    case Root::system_root:
    case Root::fixed:
    case Root::temporary_list:
      break;
  }
  return std::nullopt;
}

bool component_less(std::string_view a, std::string_view b) { return a < b; }

}  // namespace corvane::junk_scan
