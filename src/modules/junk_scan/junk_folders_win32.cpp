// The base folders on Windows. Rows of a list appear in list order; a row
// whose root is not set contributes nothing.
#include "modules/junk_scan/folder_table.h"
#include "platform/path.h"
#include "platform/text.h"

namespace corvane::junk_scan {

namespace {

using L = FolderList;

constexpr FolderRow kFolderRows[] = {
    // list                  root                  appended
    {L::temporary,           Root::temp_folder,    ""},
    {L::temporary,           Root::local_app_data, "Temp"},
    {L::temporary,           Root::fixed,          "C:\\Windows\\Temp"},

    {L::crash_dump_folders,  Root::temporary_list, ""},

    {L::package_caches,      Root::user_local,     "npm-cache"},
    {L::package_caches,      Root::profile,        ".cargo\\registry\\cache"},
    {L::package_caches,      Root::profile,        "AppData\\Local\\pip\\Cache"},

    {L::user_documents,      Root::profile,        "Desktop"},
    {L::user_documents,      Root::profile,        "Downloads"},
    {L::user_documents,      Root::profile,        "Documents"},

    {L::browser_caches,      Root::user_local,     "Google\\Chrome\\User Data\\Default\\Cache"},
    {L::browser_caches,      Root::user_local,     "Microsoft\\Edge\\User Data\\Default\\Cache"},
    {L::browser_caches,      Root::user_local,     "Mozilla\\Firefox\\Profiles"},

    {L::app_caches,          Root::user_local,     "Microsoft\\Windows\\INetCache"},
    {L::app_caches,          Root::user_local,     "D3DSCache"},
    {L::app_caches,          Root::user_local,     "NVIDIA\\DXCache"},
    {L::app_caches,          Root::user_local,     "NVIDIA\\GLCache"},

    {L::thumbnail_caches,    Root::user_local,     "Microsoft\\Windows\\Explorer"},

    {L::log_folders,         Root::system_root,    "Logs"},
    {L::log_folders,         Root::user_local,     ""},

    {L::development_roots,   Root::profile,        "Documents"},
    {L::development_roots,   Root::profile,        "Projects"},
    {L::development_roots,   Root::profile,        "Developer"},
    {L::development_roots,   Root::profile,        "dev"},
    {L::development_roots,   Root::profile,        "code"},
    {L::development_roots,   Root::profile,        "workspace"},
    {L::development_roots,   Root::profile,        "repos"},
    {L::development_roots,   Root::profile,        "src"},
};

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
      return environment.variable("USERPROFILE");
    case Root::local_app_data:
      return environment.variable("LOCALAPPDATA");
    case Root::user_local:
      if (!environment.variable("USERPROFILE")) return std::nullopt;
      return environment.variable("LOCALAPPDATA");
    case Root::system_root:
      if (auto system = environment.variable("SystemRoot")) return system;
      return environment.fixed_folder("C:\\Windows");
    case Root::user_state:
    case Root::fixed:
    case Root::temporary_list:
      break;
  }
  return std::nullopt;
}

bool component_less(std::string_view a, std::string_view b) {
  return platform::utf16_from_utf8(a) < platform::utf16_from_utf8(b);
}

}  // namespace corvane::junk_scan
