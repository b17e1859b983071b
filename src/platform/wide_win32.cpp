#include <windows.h>

#include "platform/path.h"
#include "platform/text.h"
#include "platform/wide.h"

namespace corvane::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::string utf8_from_wide(std::wstring_view text) {
  return utf8_from_utf16(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

std::wstring wide_from_utf8(std::string_view text) {
  std::u16string u = utf16_from_utf8(text);
  return std::wstring(reinterpret_cast<const wchar_t*>(u.data()), u.size());
}

std::string path_text_from_wide(std::wstring_view name) {
  return wtf8_from_utf16(std::u16string_view(reinterpret_cast<const char16_t*>(name.data()), name.size()));
}

Result<std::wstring> wide_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    Error missing = os_error(ERROR_FILE_NOT_FOUND);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return missing;
  }
  std::u16string u = utf16_from_wtf8(path);
  return std::wstring(reinterpret_cast<const wchar_t*>(u.data()), u.size());
}

Result<std::wstring> verbatim_path(std::string_view path) {
  Result<std::wstring> checked = wide_path(path);
  if (!checked.ok()) return checked;
  std::wstring& wide = checked.value();
  // Verbatim text is meant literally, and \??\ names the system's own
  // name space, which plain paths pass through unchanged too.
  if (wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\??\\")) return wide;
  DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (need == 0) return wide;
  std::wstring full(need, L'\0');
  DWORD got = GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
  if (got == 0 || got >= need) return wide;
  full.resize(got);
  if (full.starts_with(L"\\\\.\\") || full.starts_with(L"\\\\?\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace corvane::platform
