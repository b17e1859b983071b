// The Windows listing: FindFirstFileExW / FindNextFileW on \\?\ paths, with
// kind, size and times taken from the listing data itself. Directories are
// opened by path, so a released listing needs nothing to resume. A folder
// whose entries are not on this disk (a cloud placeholder) is never opened:
// listing it would make its provider fetch and create them.
#include <windows.h>

#include "platform/dir_listing_win32.h"
#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/wide.h"

namespace corvane::platform {

namespace {

// FIND_FIRST_EX_ON_DISK_ENTRIES_ONLY, which the headers give only to
// builds aimed at Windows 8 and later.
constexpr DWORD kOnDiskEntriesOnly = 0x4;

bool is_dot_name(const wchar_t* n) { return n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0')); }

struct WindowsDirectory final : Listing {
  ~WindowsDirectory() override {
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
  }
  std::wstring path;  // its \\?\ path, ending in '\'
  HANDLE find = INVALID_HANDLE_VALUE;
  bool have_first = false;  // FindFirstFileExW's entry not yet delivered
  WIN32_FIND_DATAW data;
};

WindowsDirectory& directory(Listing& listing) { return static_cast<WindowsDirectory&>(listing); }

void entry_from(const WIN32_FIND_DATAW& data, ListingSource::Entry& out) {
  auto ticks = [](const FILETIME& t) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  // dwReserved0 holds the reparse tag only for reparse points.
  DWORD tag = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? data.dwReserved0 : 0;
  out.kind = kind_from_attributes(data.dwFileAttributes, tag);
  out.data_not_local = data_not_local(data.dwFileAttributes, true);
  out.name = utf8_from_wide(data.cFileName);
  out.raw_name = path_text_from_wide(data.cFileName);
  std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  out.stat = EntryStat{size, ticks(data.ftLastWriteTime), ticks(data.ftLastAccessTime), size};
}

// `path` ends in '\'.
ListingSource::Opened open_path(std::wstring path) {
  auto dir = std::make_unique<WindowsDirectory>();
  dir->path = std::move(path);
  std::wstring pattern = dir->path + L'*';
  // Only what is on the disk: a virtualising filter (projected file
  // systems) then asks its provider for nothing.
  dir->find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &dir->data, FindExSearchNameMatch, nullptr,
                               FIND_FIRST_EX_LARGE_FETCH | kOnDiskEntriesOnly);
  if (dir->find == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
    // A system that predates the flag.
    dir->find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &dir->data, FindExSearchNameMatch, nullptr,
                                 FIND_FIRST_EX_LARGE_FETCH);
  }
  // A drive root without entries reports "file not found": an empty listing.
  if (dir->find == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND) return last_os_error();
  dir->have_first = dir->find != INVALID_HANDLE_VALUE;
  return std::unique_ptr<Listing>(std::move(dir));
}

class WindowsListing final : public ListingSource {
 public:
  Opened open_root(std::string_view root) override {
    Result<std::wstring> path = listing_root(root);
    if (!path.ok()) return path.failure();
    return open_path(std::move(path).value());
  }

  Opened open_child(Listing& parent, const Entry& entry) override {
    if (entry.data_not_local) return os_error(ERROR_FILE_OFFLINE);
    // WTF-8 gives the system's UTF-16 name back exactly; it holds no NUL.
    Result<std::wstring> name = wide_path(entry.raw_name);
    if (!name.ok()) return name.failure();
    return open_path(directory(parent).path + name.value() + L'\\');
  }

  Read read(Listing& listing, Entry& out) override {
    WindowsDirectory& dir = directory(listing);
    for (;;) {
      if (dir.find == INVALID_HANDLE_VALUE) return Read::end;  // the listing had no entries
      if (!dir.have_first && !FindNextFileW(dir.find, &dir.data)) {
        return GetLastError() == ERROR_NO_MORE_FILES ? Read::end : Read::error;
      }
      dir.have_first = false;
      if (!is_dot_name(dir.data.cFileName)) break;
    }
    entry_from(dir.data, out);
    return Read::entry;
  }

  Result<EntryStat> stat(Listing&, const Entry& entry) override {
    if (entry.stat) return *entry.stat;
    return make_error(os_error_text(ERROR_INVALID_DATA));
  }

  void release(Listing& listing) override {
    WindowsDirectory& dir = directory(listing);
    if (dir.find != INVALID_HANDLE_VALUE) FindClose(dir.find);
    dir.find = INVALID_HANDLE_VALUE;
    dir.have_first = false;
  }

  bool resume(Listing&, Listing&) override { return true; }

  // A path below the base; a name that became a reparse point since it was
  // listed is not entered.
  bool opens_below() const override { return true; }

  Opened open_below(Listing& base, std::string_view relative, const Entry& entry) override {
    if (relative.empty()) return open_path(directory(base).path);
    Result<std::wstring> path = listing_below(directory(base).path, relative, entry);
    if (!path.ok()) return path.failure();
    return open_path(std::move(path).value() + L'\\');
  }
};

}  // namespace

Result<std::wstring> listing_root(std::string_view root) {
  if (root.empty()) return os_error(ERROR_PATH_NOT_FOUND);
  Result<std::wstring> verbatim = verbatim_path(root);
  if (!verbatim.ok()) return verbatim.failure();
  std::wstring path = std::move(verbatim).value();
  if (path.empty() || path.back() != L'\\') path += L'\\';
  return path;
}

Result<std::wstring> listing_below(const std::wstring& base, std::string_view relative,
                                   const ListingSource::Entry& entry) {
  if (entry.data_not_local) return os_error(ERROR_FILE_OFFLINE);
  Result<std::wstring> tail = wide_path(relative);
  if (!tail.ok()) return tail.failure();
  std::wstring path = base + tail.value();
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return last_os_error();
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return os_error(ERROR_PATH_NOT_FOUND);
  return path;
}

std::unique_ptr<ListingSource> native_listing() { return std::make_unique<WindowsListing>(); }

}  // namespace corvane::platform
