#include <windows.h>

#include "platform/path.h"
#include "platform/text.h"
#include "platform/wide.h"

namespace corvane::platform {

const char kPathSeparator = '\\';

bool is_path_separator(char c) { return c == '\\' || c == '/'; }

bool join_needs_separator(std::string_view dir) {
  if (dir.empty() || is_path_separator(dir.back())) return false;
  // "C:" names the drive's current directory; "C:x" stays relative to it.
  bool bare_drive = dir.size() == 2 && dir[1] == ':' &&
                    ((dir[0] >= 'A' && dir[0] <= 'Z') || (dir[0] >= 'a' && dir[0] <= 'z'));
  return !bare_drive;
}

std::string display_path(std::string_view path) { return strip_verbatim_prefix(utf8_from_wtf8(path)); }

namespace {

std::int64_t ticks(const FILETIME& t) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

Result<PathMetadata> metadata(std::string_view path, bool follow) {
  Result<std::wstring> wide = verbatim_path(path);
  if (!wide.ok()) return wide.failure();
  // No access rights asked: only attributes are read, and no time changes.
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE h = CreateFileW(wide->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_os_error();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    Error error = last_os_error();
    CloseHandle(h);
    return error;
  }
  DWORD tag = 0;
  if (!follow && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag_info;
    if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag_info, sizeof tag_info)) {
      tag = tag_info.ReparseTag;
    }
  }
  CloseHandle(h);
  PathMetadata out;
  out.kind = kind_from_attributes(info.dwFileAttributes, follow ? 0 : tag);
  out.data_not_local = data_not_local(info.dwFileAttributes, false);
  const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out.stat = EntryStat{size, ticks(info.ftLastWriteTime), ticks(info.ftLastAccessTime), size, info.nNumberOfLinks,
                       info.dwVolumeSerialNumber,
                       (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return out;
}

}  // namespace

Result<PathMetadata> path_metadata(std::string_view path) { return metadata(path, true); }
Result<PathMetadata> link_metadata(std::string_view path) { return metadata(path, false); }

Result<std::string> canonical_path(std::string_view path) {
  Result<std::wstring> wide = verbatim_path(path);
  if (!wide.ok()) return wide.failure();
  HANDLE h = CreateFileW(wide->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_os_error();
  std::wstring out(MAX_PATH, L'\0');
  for (;;) {
    DWORD got = GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()),
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (got == 0) {
      Error error = last_os_error();
      CloseHandle(h);
      return error;
    }
    if (got < out.size()) {
      out.resize(got);
      break;
    }
    out.resize(got + 1);
  }
  CloseHandle(h);
  return utf8_from_wide(out);
}

std::string os_error_text(int code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (n != 0 && buffer != nullptr) {
    std::wstring_view view(buffer, n);
    while (!view.empty() && (view.back() == L'\r' || view.back() == L'\n' || view.back() == L' ')) {
      view.remove_suffix(1);
    }
    text = utf8_from_wide(view);
  }
  if (buffer != nullptr) LocalFree(buffer);
  if (text.empty()) text = "system error";
  return text + " (os error " + std::to_string(code) + ")";
}

std::string last_os_error_text() { return os_error_text(static_cast<int>(GetLastError())); }

ErrorCode error_code_from_os(int code) {
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return ErrorCode::not_found;
  if (code == ERROR_ACCESS_DENIED) return ErrorCode::permission_denied;
  return ErrorCode::other;
}

Error last_os_error() { return os_error(static_cast<int>(GetLastError())); }

}  // namespace corvane::platform
