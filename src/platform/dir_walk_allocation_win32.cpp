// The Windows listing that also gives each file's allocation size, which
// FindFirstFileExW leaves out: directories opened as handles and read with
// GetFileInformationByHandleEx (FileIdBothDirectoryInfo), whose records
// carry attributes, reparse tag, size, allocation size and times, so still
// no call per file. Kinds, names and the refusal of folders whose data is
// not on this disk follow the same rules as the FindFirstFileExW listing.
#include <windows.h>

#include <memory>

#include "platform/dir_listing_win32.h"
#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/wide.h"

namespace corvane::platform {

namespace {

constexpr DWORD kBufferSize = 32 * 1024;

bool is_dot_name(std::wstring_view n) { return n == L"." || n == L".."; }

struct HandleDirectory final : Listing {
  ~HandleDirectory() override { close(); }
  void close() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  std::wstring path;  // its \\?\ path, ending in '\'
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::unique_ptr<unsigned char[]> buffer = std::unique_ptr<unsigned char[]>(new unsigned char[kBufferSize]);
  DWORD at = 0;            // offset of the next record in the buffer
  bool have_batch = false;  // the buffer holds records not yet delivered
  bool restart = true;     // the first read starts the listing
  bool done = false;
};

HandleDirectory& directory(Listing& listing) { return static_cast<HandleDirectory&>(listing); }

std::int64_t ticks(const LARGE_INTEGER& t) { return static_cast<std::int64_t>(t.QuadPart); }

void entry_from(const FILE_ID_BOTH_DIR_INFO& info, std::wstring_view name, ListingSource::Entry& out) {
  // EaSize holds the reparse tag for reparse points.
  DWORD tag = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? info.EaSize : 0;
  out.kind = kind_from_attributes(info.FileAttributes, tag);
  out.data_not_local = data_not_local(info.FileAttributes, true);
  out.name = utf8_from_wide(name);
  out.raw_name = path_text_from_wide(name);
  out.stat = EntryStat{static_cast<std::uint64_t>(info.EndOfFile.QuadPart), ticks(info.LastWriteTime),
                       ticks(info.LastAccessTime), static_cast<std::uint64_t>(info.AllocationSize.QuadPart)};
}

// `path` ends in '\'. A link given as the root is followed; below it, every
// folder is opened as itself, never through a reparse point put in its place.
ListingSource::Opened open_path(std::wstring path, bool follow) {
  auto dir = std::make_unique<HandleDirectory>();
  dir->path = std::move(path);
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  dir->handle = CreateFileW(dir->path.c_str(), FILE_LIST_DIRECTORY,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, flags,
                            nullptr);
  if (dir->handle == INVALID_HANDLE_VALUE) return last_os_error();
  return std::unique_ptr<Listing>(std::move(dir));
}

class AllocationListing final : public ListingSource {
 public:
  Opened open_root(std::string_view root) override {
    Result<std::wstring> path = listing_root(root);
    if (!path.ok()) return path.failure();
    return open_path(std::move(path).value(), true);
  }

  Opened open_child(Listing& parent, const Entry& entry) override {
    if (entry.data_not_local) return os_error(ERROR_FILE_OFFLINE);
    Result<std::wstring> name = wide_path(entry.raw_name);
    if (!name.ok()) return name.failure();
    return open_path(directory(parent).path + name.value() + L'\\', false);
  }

  Read read(Listing& listing, Entry& out) override {
    HandleDirectory& dir = directory(listing);
    for (;;) {
      if (!dir.have_batch) {
        if (dir.done || dir.handle == INVALID_HANDLE_VALUE) return Read::end;
        FILE_INFO_BY_HANDLE_CLASS batch = dir.restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
        dir.restart = false;
        if (!GetFileInformationByHandleEx(dir.handle, batch, dir.buffer.get(), kBufferSize)) {
          dir.done = true;
          return GetLastError() == ERROR_NO_MORE_FILES ? Read::end : Read::error;
        }
        dir.have_batch = true;
        dir.at = 0;
      }
      const auto& info = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(dir.buffer.get() + dir.at);
      if (info.NextEntryOffset == 0) {
        dir.have_batch = false;
      } else {
        dir.at += info.NextEntryOffset;
      }
      std::wstring_view name(info.FileName, info.FileNameLength / sizeof(wchar_t));
      if (is_dot_name(name)) continue;
      entry_from(info, name, out);
      return Read::entry;
    }
  }

  Result<EntryStat> stat(Listing&, const Entry& entry) override {
    if (entry.stat) return *entry.stat;
    return make_error(os_error_text(ERROR_INVALID_DATA));
  }

  void release(Listing& listing) override { directory(listing).close(); }

  // Released listings were read to their end; their entries are opened by path.
  bool resume(Listing&, Listing&) override { return true; }

  bool opens_below() const override { return true; }

  Opened open_below(Listing& base, std::string_view relative, const Entry& entry) override {
    if (relative.empty()) return open_path(directory(base).path, false);
    Result<std::wstring> path = listing_below(directory(base).path, relative, entry);
    if (!path.ok()) return path.failure();
    return open_path(std::move(path).value() + L'\\', false);
  }
};

}  // namespace

std::unique_ptr<ListingSource> allocation_listing() { return std::make_unique<AllocationListing>(); }

}  // namespace corvane::platform
