#include <windows.h>

#include <string>

#include "modules/junk_scan/environment.h"
#include "platform/path.h"
#include "platform/wide.h"

namespace corvane::junk_scan {

namespace {

using GetTempPath2Function = DWORD(WINAPI*)(DWORD, LPWSTR);

// GetTempPath2W exists from Windows 11 and recent Windows 10 builds only;
// elsewhere the older call gives the same folder for a normal process.
GetTempPath2Function temp_path_function() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "GetTempPath2W") : nullptr;
  if (found != nullptr) return reinterpret_cast<GetTempPath2Function>(reinterpret_cast<void*>(found));
  return &GetTempPathW;
}

class WindowsEnvironment final : public Environment {
 public:
  std::optional<std::string> variable(std::string_view name) const override {
    std::wstring wide_name = platform::wide_from_utf8(name);
    std::wstring value(256, L'\0');
    for (;;) {
      DWORD got = GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
      // 0: not set, or set to nothing (both count as not set).
      if (got == 0) return std::nullopt;
      if (got < value.size()) {
        value.resize(got);
        return platform::utf8_from_wide(value);
      }
      value.resize(got);  // too small: `got` includes the terminator
    }
  }

  Result<std::string> temp_folder() const override {
    GetTempPath2Function get = temp_path_function();
    std::wstring path(MAX_PATH + 1, L'\0');
    for (;;) {
      DWORD got = get(static_cast<DWORD>(path.size()), path.data());
      if (got == 0) return make_error(platform::last_os_error_text());
      if (got < path.size()) {
        path.resize(got);
        return platform::utf8_from_wide(path);
      }
      path.resize(got + 1);
    }
  }

  std::optional<std::string> fixed_folder(std::string_view path) const override { return std::string(path); }
};

}  // namespace

std::unique_ptr<Environment> system_environment() { return std::make_unique<WindowsEnvironment>(); }

}  // namespace corvane::junk_scan
