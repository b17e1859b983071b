#include "fixture_home.h"

namespace corvane::junk_scan {

std::string where(Where place) {
  switch (place) {
    case Where::temp: return "var/tmp";
    case Where::package_cache: return "home/.npm/_cacache";
    case Where::desktop: return "home/Desktop";
    case Where::browser_cache: return "home/.cache/google-chrome/Default/Cache";
    case Where::app_cache: return "home/.cache";
    case Where::thumbnails: return "home/.cache/thumbnails";
    case Where::user_logs: return "home/.local/state";
    case Where::system_logs: return "var/log";
    case Where::projects: return "home/Projects";
  }
  return "";
}

const char* const kProfileVariable = "HOME";

FakeEnvironment home_environment(const testing::ScratchDir& scratch) {
  FakeEnvironment env;
  env.variables["HOME"] = scratch.text("home");
  // TMPDIR naming /var/tmp once more, so the temporary folders hold it twice.
  env.temp = scratch.text("var/tmp") + "/";
  for (const char* fixed : {"/var/tmp", "/var/crash", "/var/log"}) env.fixed[fixed] = scratch.text(fixed + 1);
  return env;
}

}  // namespace corvane::junk_scan
