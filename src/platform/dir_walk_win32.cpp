// The Windows listing: FindFirstFileExW / FindNextFileW on \\?\ paths, with
// kind, size and times taken from the listing data itself.
#include <windows.h>

#include <vector>

#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/wide.h"

namespace corvane::platform {

namespace {

// Find handles kept open at once; outer listings beyond this are read to
// their end into memory and closed, so handles do not grow with depth.
constexpr std::size_t kMaxOpenListings = 48;

struct Found {
  std::wstring name;
  DWORD attributes = 0;
  DWORD reparse_tag = 0;
  EntryStat stat;
};

Found found_from(const WIN32_FIND_DATAW& data) {
  auto ticks = [](const FILETIME& t) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  Found f;
  f.name = data.cFileName;
  f.attributes = data.dwFileAttributes;
  // dwReserved0 holds the reparse tag only for reparse points.
  f.reparse_tag = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? data.dwReserved0 : 0;
  f.stat = EntryStat{(static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                     ticks(data.ftLastWriteTime), ticks(data.ftLastAccessTime)};
  return f;
}

bool is_dot_name(const wchar_t* n) { return n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0')); }

struct Frame {
  HANDLE find = INVALID_HANDLE_VALUE;
  bool have_first = false;  // FindFirstFileExW's entry not yet delivered
  WIN32_FIND_DATAW data;
  std::size_t path_length = 0;  // of path_ for this directory, with its trailing '\'
  std::vector<Found> drained;
  std::size_t next_drained = 0;
  bool is_drained = false;
  Found current;
};

class WindowsListing final : public ListingSource {
 public:
  ~WindowsListing() override {
    while (!frames_.empty()) close();
  }

  Status open_root(std::string_view root) override {
    // "" would otherwise become "\\*", the current drive's root.
    if (root.empty()) return os_error(ERROR_PATH_NOT_FOUND);
    Result<std::wstring> verbatim = verbatim_path(root);
    if (!verbatim.ok()) return verbatim.failure();
    path_ = std::move(verbatim).value();
    if (path_.empty() || path_.back() != L'\\') path_ += L'\\';
    return push();
  }

  Status open_child() override {
    std::size_t before = path_.size();
    path_ += frames_.back().current.name;
    path_ += L'\\';
    Status pushed = push();
    if (!pushed.ok()) path_.resize(before);
    return pushed;
  }

  Read read(Entry& out) override {
    Frame& top = frames_.back();
    for (;;) {
      if (top.is_drained) {
        if (top.next_drained == top.drained.size()) return Read::end;
        top.current = std::move(top.drained[top.next_drained++]);
        break;
      }
      if (top.find == INVALID_HANDLE_VALUE) return Read::end;  // the listing had no entries
      if (!top.have_first && !FindNextFileW(top.find, &top.data)) {
        return GetLastError() == ERROR_NO_MORE_FILES ? Read::end : Read::error;
      }
      top.have_first = false;
      if (is_dot_name(top.data.cFileName)) continue;
      top.current = found_from(top.data);
      break;
    }
    out.kind = kind_from_attributes(top.current.attributes, top.current.reparse_tag);
    out.name = utf8_from_wide(top.current.name);
    out.raw_name = path_text_from_wide(top.current.name);
    return Read::entry;
  }

  Result<EntryStat> stat() override { return frames_.back().current.stat; }

  void close() override {
    Frame& top = frames_.back();
    release(top);
    path_.resize(frames_.size() >= 2 ? frames_[frames_.size() - 2].path_length : 0);
    frames_.pop_back();
  }

 private:
  Status push() {
    std::wstring pattern = path_ + L'*';
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    // A drive root without entries reports "file not found": an empty listing.
    if (find == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND) return last_os_error();
    Frame& f = frames_.emplace_back();
    f.find = find;
    f.have_first = find != INVALID_HANDLE_VALUE;
    f.data = data;
    f.path_length = path_.size();
    if (find != INVALID_HANDLE_VALUE && ++open_ > kMaxOpenListings) suspend_oldest();
    return ok_status();
  }

  void suspend_oldest() {
    for (Frame& f : frames_) {
      if (f.find == INVALID_HANDLE_VALUE) continue;
      if (f.have_first && !is_dot_name(f.data.cFileName)) f.drained.push_back(found_from(f.data));
      while (FindNextFileW(f.find, &f.data)) {
        if (!is_dot_name(f.data.cFileName)) f.drained.push_back(found_from(f.data));
      }
      f.have_first = false;
      f.is_drained = true;
      release(f);
      return;
    }
  }

  void release(Frame& f) {
    if (f.find != INVALID_HANDLE_VALUE) {
      FindClose(f.find);
      f.find = INVALID_HANDLE_VALUE;
      --open_;
    }
  }

  std::vector<Frame> frames_;
  std::wstring path_;  // the innermost directory's \\?\ path, ending in '\'
  std::size_t open_ = 0;
};

}  // namespace

std::unique_ptr<ListingSource> native_listing() { return std::make_unique<WindowsListing>(); }

}  // namespace corvane::platform
