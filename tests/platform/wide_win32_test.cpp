// What only the Windows build has: names that are not valid UTF-16, carried
// as WTF-8 path text.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <memory>
#include <string>

#include "platform/dir_walk.h"
#include "platform/file_read.h"
#include "platform/path.h"
#include "platform/scratch_dir.h"
#include "platform/wide.h"

namespace corvane::platform {
namespace {

const std::wstring kLone{L'a', static_cast<wchar_t>(0xD800), L'b'};
const std::string kLoneText =
    "a\xED\xA0\x80"
    "b";

TEST(WidePathTest, Wtf8TextReachesTheSystemWithItsUnpairedSurrogates) {
  EXPECT_EQ(path_text_from_wide(kLone),
            "a\xED\xA0\x80"
            "b");
  EXPECT_EQ(wide_path("a\xED\xA0\x80"
                      "b")
                .value(),
            kLone);
  EXPECT_EQ(wide_path("caf\xC3\xA9\xFF").value(), L"caf\u00e9\uFFFD");
  SetLastError(0);
  EXPECT_FALSE(verbatim_path(std::string("C:\\x\0y", 6)).ok());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(WidePathTest, AFileNamedWithAnUnpairedSurrogateIsShownLossilyAndOpenedByItsRawPath) {
  corvane::testing::ScratchDir scratch;
  std::wstring name = wide_from_utf8(scratch.text()) + L"\\" + kLone;
  HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) GTEST_SKIP() << "this file system refuses such names (Wine does)";
  DWORD written = 0;
  WriteFile(h, "abc", 3, &written, nullptr);
  CloseHandle(h);
  DirectoryWalk walk(scratch.text());
  ASSERT_TRUE(walk.next());
  EXPECT_EQ(walk.name(),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(walk.raw_name(),
            "a\xED\xA0\x80"
            "b");
  EXPECT_EQ(display_path(walk.raw_path()), walk.path());
  EXPECT_FALSE(path_metadata(walk.path()).ok());
  auto meta = path_metadata(walk.raw_path());
  ASSERT_TRUE(meta.ok()) << meta.error();
  EXPECT_EQ(meta->stat.size, 3u);
}

// Holds the process's current directory at a known folder for a test.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const wchar_t* path) {
    DWORD n = GetCurrentDirectoryW(0, nullptr);
    saved_.resize(n);
    saved_.resize(GetCurrentDirectoryW(n, saved_.data()));
    SetCurrentDirectoryW(path);
  }
  ~CurrentDirectory() { SetCurrentDirectoryW(saved_.c_str()); }
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::wstring saved_;
};

TEST(WindowsListingTest, AFolderWhoseEntriesAreNotOnThisDiskIsNeverOpened) {
  corvane::testing::ScratchDir scratch;
  scratch.file("sub/a.txt", 1);
  std::unique_ptr<ListingSource> source = native_listing();
  ListingSource::Opened root = source->open_root(scratch.text());
  ASSERT_TRUE(root.ok()) << root.error();
  ListingSource::Entry sub;
  ASSERT_EQ(source->read(**root, sub), ListingSource::Read::entry);
  ASSERT_EQ(sub.raw_name, "sub");
  EXPECT_FALSE(sub.data_not_local);
  EXPECT_TRUE(source->open_child(**root, sub).ok());
  EXPECT_TRUE(source->open_below(**root, "sub", sub).ok());
  // As the listing reports a cloud placeholder folder (Wine keeps no such
  // attribute): neither the walk nor a warmer may open it.
  sub.data_not_local = true;
  EXPECT_FALSE(source->open_child(**root, sub).ok());
  EXPECT_FALSE(source->open_below(**root, "sub", sub).ok());
}

TEST(VerbatimPathTest, NamesWhatThePlainFormNames) {
  CurrentDirectory here(L"C:\\windows");
  const std::string long_tail = [] {
    std::string tail;
    for (int i = 0; i < 40; ++i) tail += "component" + std::to_string(i % 10) + "\\";
    return tail + "f.txt";
  }();
  struct Row {
    std::string plain;
    std::wstring verbatim;
  };
  const Row rows[] = {
      {"a\\b", L"\\\\?\\C:\\windows\\a\\b"},       // relative to the current directory
      {"C:x", L"\\\\?\\C:\\windows\\x"},           // drive-relative, on the current drive
      {"\\x", L"\\\\?\\C:\\x"},                    // rooted, on the current drive
      {"C:/a/b", L"\\\\?\\C:\\a\\b"},              // forward slashes
      {"C:\\a\\.\\b\\..\\c", L"\\\\?\\C:\\a\\c"},  // "." and "..", which \\?\ would keep
      {"C:\\a\\..\\..\\b", L"\\\\?\\C:\\b"},       // ".." stops at the root
      {"C:\\a.\\b. ", L"\\\\?\\C:\\a\\b"},         // a trailing dot, the last one's spaces
      {"C:\\a \\b ...", L"\\\\?\\C:\\a \\b"},      // inner spaces stay
      {"C:\\a\\b\\", L"\\\\?\\C:\\a\\b\\"},        // a separator at the end stays
      {"C:\\", L"\\\\?\\C:\\"},
      {"\\\\srv\\share\\x", L"\\\\?\\UNC\\srv\\share\\x"},  // UNC
      {"//srv/share/x/../y", L"\\\\?\\UNC\\srv\\share\\y"},
      {"\\\\?\\C:\\a\\..\\b", L"\\\\?\\C:\\a\\..\\b"},  // already verbatim: literal
      {"\\\\?\\UNC\\srv\\x", L"\\\\?\\UNC\\srv\\x"},
      {"\\??\\C:\\x", L"\\??\\C:\\x"},    // the system's own name space
      {"\\\\.\\C:\\x", L"\\\\.\\C:\\x"},  // device paths
      {"", L""},                          // nothing to make absolute
      {"C:\\" + long_tail, L"\\\\?\\C:\\" + wide_from_utf8(long_tail)},  // past MAX_PATH, whole
      {long_tail, L"\\\\?\\C:\\windows\\" + wide_from_utf8(long_tail)},
      {std::string("C:\\") + kLoneText, L"\\\\?\\C:\\" + kLone},  // WTF-8 kept exact
  };
  for (const Row& row : rows) {
    Result<std::wstring> got = verbatim_path(row.plain);
    ASSERT_TRUE(got.ok()) << row.plain;
    EXPECT_EQ(got.value(), row.verbatim) << row.plain;
  }
}

TEST(VerbatimPathTest, PathsPastMaxPathOpenEverywhere) {
  corvane::testing::ScratchDir scratch;
  std::string deep = scratch.text();
  while (deep.size() < 400) deep += "\\" + std::string(60, 'd');
  std::wstring verbatim = verbatim_path(deep).value();
  for (std::size_t at = verbatim.find(L'\\', 7); at != std::wstring::npos;
       at = verbatim.find(L'\\', at + 1)) {
    CreateDirectoryW(verbatim.substr(0, at).c_str(), nullptr);
  }
  ASSERT_TRUE(CreateDirectoryW(verbatim.c_str(), nullptr));
  std::string file = deep + "\\f.txt";
  HANDLE h = CreateFileW((verbatim + L"\\f.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                         nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(h, "abc", 3, &written, nullptr);
  CloseHandle(h);

  auto meta = path_metadata(file);
  ASSERT_TRUE(meta.ok()) << meta.error();
  EXPECT_EQ(meta->stat.size, 3u);
  EXPECT_TRUE(link_metadata(file).ok());
  EXPECT_TRUE(is_directory(deep));
  Result<ReadHandle> opened = open_for_read(file);
  ASSERT_TRUE(opened.ok()) << opened.error();
  char buffer[8];
  EXPECT_EQ(opened->read(buffer, sizeof buffer), 3);
}

}  // namespace
}  // namespace corvane::platform
