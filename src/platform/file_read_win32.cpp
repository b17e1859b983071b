#include <windows.h>

#include "platform/file_read.h"
#include "platform/path.h"
#include "platform/wide.h"

namespace corvane::platform {

struct ReadHandle::Native {
  HANDLE handle = INVALID_HANDLE_VALUE;
};

ReadHandle::ReadHandle(std::unique_ptr<Native> native) : native_(std::move(native)) {}
ReadHandle::ReadHandle(ReadHandle&& other) noexcept = default;
ReadHandle& ReadHandle::operator=(ReadHandle&& other) noexcept = default;

ReadHandle::~ReadHandle() {
  if (native_ && native_->handle != INVALID_HANDLE_VALUE) CloseHandle(native_->handle);
}

std::int64_t ReadHandle::read(void* buffer, std::size_t capacity) {
  DWORD want = capacity > 0x40000000 ? 0x40000000 : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (!ReadFile(native_->handle, buffer, want, &got, nullptr)) return -1;
  return got;
}

bool ReadHandle::seek(std::uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(native_->handle, to, nullptr, FILE_BEGIN) != 0;
}

Result<ReadHandle> open_for_read(std::string_view path) {
  Result<std::wstring> wide = verbatim_path(path);
  if (!wide.ok()) return make_error(wide.error());
  // Backup semantics lets a directory open too; delete sharing is withheld
  // so a file cannot vanish or be renamed while it is read.
  HANDLE h = CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return make_error(last_os_error_text());
  auto native = std::make_unique<ReadHandle::Native>();
  native->handle = h;
  return ReadHandle(std::move(native));
}

}  // namespace corvane::platform
