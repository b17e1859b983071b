#include "fixture_home.h"

namespace corvane::junk_scan {

std::string where(Where place) {
  switch (place) {
    case Where::temp: return "home/AppData/Local/Temp";
    case Where::package_cache: return "home/AppData/Local/npm-cache";
    case Where::desktop: return "home/Desktop";
    case Where::browser_cache: return "home/AppData/Local/Google/Chrome/User Data/Default/Cache";
    case Where::app_cache: return "home/AppData/Local/D3DSCache";
    case Where::thumbnails: return "home/AppData/Local/Microsoft/Windows/Explorer";
    case Where::user_logs: return "home/AppData/Local";
    case Where::system_logs: return "Windows/Logs";
    case Where::projects: return "home/Projects";
  }
  return "";
}

const char* const kProfileVariable = "USERPROFILE";

FakeEnvironment home_environment(const testing::ScratchDir& scratch) {
  FakeEnvironment env;
  env.variables["USERPROFILE"] = scratch.text("home");
  env.variables["LOCALAPPDATA"] = scratch.text("home/AppData/Local");
  env.variables["SystemRoot"] = scratch.text("Windows");
  // As the system reports it, with a trailing separator: the same folder
  // as LOCALAPPDATA\Temp, so the temporary folders hold it twice.
  env.temp = scratch.text("home/AppData/Local/Temp") + "\\";
  env.fixed["C:\\Windows\\Temp"] = scratch.text("Windows/Temp");
  env.fixed["C:\\Windows"] = scratch.text("Windows");
  return env;
}

}  // namespace corvane::junk_scan
