// What only the Windows build has: names that are not valid UTF-16, carried
// as WTF-8 path text.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/scratch_dir.h"
#include "platform/wide.h"

namespace corvane::platform {
namespace {

const std::wstring kLone{L'a', static_cast<wchar_t>(0xD800), L'b'};
const std::string kLoneText = "a\xED\xA0\x80" "b";

TEST(WidePathTest, Wtf8TextReachesTheSystemWithItsUnpairedSurrogates) {
  EXPECT_EQ(path_text_from_wide(kLone), "a\xED\xA0\x80" "b");
  EXPECT_EQ(wide_path("a\xED\xA0\x80" "b").value(), kLone);
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
  EXPECT_EQ(walk.name(), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(walk.raw_name(), "a\xED\xA0\x80" "b");
  EXPECT_EQ(display_path(walk.raw_path()), walk.path());
  EXPECT_FALSE(path_metadata(walk.path()).ok());
  auto meta = path_metadata(walk.raw_path());
  ASSERT_TRUE(meta.ok()) << meta.error();
  EXPECT_EQ(meta->stat.size, 3u);
}


TEST(WindowsListingTest, AFolderWhoseEntriesAreNotOnThisDiskIsNeverOpened) {
  corvane::testing::ScratchDir scratch;
  scratch.file("sub/a.txt", 1);
  std::unique_ptr<ListingSource> source = native_listing();
  ListingSource::Opened root = source->open_root(scratch.text());
  ListingSource::Entry sub;
  ASSERT_TRUE(root.ok() && source->read(**root, sub) == ListingSource::Read::entry);
  EXPECT_FALSE(sub.data_not_local);
  EXPECT_TRUE(source->open_child(**root, sub).ok() && source->open_below(**root, "sub", sub).ok());
  // As the listing reports a cloud placeholder folder (Wine keeps no such
  // attribute): neither the walk nor a warmer may open it.
  sub.data_not_local = true;
  EXPECT_FALSE(source->open_child(**root, sub).ok() || source->open_below(**root, "sub", sub).ok());
}

TEST(VerbatimPathTest, NamesWhatThePlainFormNames) {
  std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path("C:\\windows");
  std::string tail;  // past MAX_PATH
  for (int i = 0; i < 40; ++i) tail += "component" + std::to_string(i % 10) + "\\";
  const std::pair<std::string, std::wstring> rows[] = {
      {"a\\b", L"\\\\?\\C:\\windows\\a\\b"},             // relative to the current directory
      {"C:x", L"\\\\?\\C:\\windows\\x"},                 // drive-relative, on the current drive
      {"\\x", L"\\\\?\\C:\\x"},                          // rooted, on the current drive
      {"C:/a/b", L"\\\\?\\C:\\a\\b"},                    // forward slashes
      {"C:\\a\\.\\b\\..\\..\\..\\c", L"\\\\?\\C:\\c"},   // "." and "..", which \\?\ would keep
      {"C:\\a.\\b. ", L"\\\\?\\C:\\a\\b"},               // a trailing dot, the last one's spaces
      {"C:\\a \\b ...", L"\\\\?\\C:\\a \\b"},            // inner spaces stay
      {"C:\\a\\b\\", L"\\\\?\\C:\\a\\b\\"},              // so does a separator at the end
      {"//srv/share/x/../y", L"\\\\?\\UNC\\srv\\share\\y"},  // UNC
      {"\\\\?\\C:\\a\\..\\b", L"\\\\?\\C:\\a\\..\\b"},   // already verbatim: literal
      {"\\??\\C:\\x", L"\\??\\C:\\x"},                   // the system's own name space
      {"\\\\.\\C:\\x", L"\\\\.\\C:\\x"},                 // device paths
      {"", L""},                                         // nothing to make absolute
      {tail, L"\\\\?\\C:\\windows\\" + wide_from_utf8(tail)},
      {"C:\\" + kLoneText, L"\\\\?\\C:\\" + kLone},      // WTF-8 kept exact
  };
  for (const auto& [plain, verbatim] : rows) EXPECT_EQ(verbatim_path(plain).value(), verbatim) << plain;
  std::filesystem::current_path(saved);
}

}  // namespace
}  // namespace corvane::platform
