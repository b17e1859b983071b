// Fixture homes for the junk scan: an environment a test fills in, and each
// platform's layout of a home inside a scratch folder.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "modules/junk_scan/environment.h"
#include "platform/scratch_dir.h"

namespace corvane::junk_scan {

class FakeEnvironment final : public Environment {
 public:
  std::map<std::string, std::string, std::less<>> variables;
  std::optional<std::string> temp;
  std::map<std::string, std::string, std::less<>> fixed;  // system path -> fixture path

  std::optional<std::string> variable(std::string_view name) const override {
    auto it = variables.find(name);
    if (it == variables.end() || it->second.empty()) return std::nullopt;
    return it->second;
  }
  Result<std::string> temp_folder() const override {
    if (!temp) return make_error("no temporary folder");
    return *temp;
  }
  std::optional<std::string> fixed_folder(std::string_view path) const override {
    auto it = fixed.find(path);
    if (it == fixed.end()) return std::nullopt;
    return it->second;
  }
};

// Where a test puts each category's junk in the fixture home: the relative
// path ('/'-separated) of one of the category's base folders.
enum class Where { temp, package_cache, desktop, browser_cache, app_cache, thumbnails, user_logs, system_logs, projects };
std::string where(Where place);

// USERPROFILE / HOME.
extern const char* const kProfileVariable;

// Every variable set, the temporary folder and the system's fixed folders
// inside `scratch`; no folder is created.
FakeEnvironment home_environment(const testing::ScratchDir& scratch);

}  // namespace corvane::junk_scan
