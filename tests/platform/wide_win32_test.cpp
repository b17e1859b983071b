// What only the Windows build has: names that are not valid UTF-16, carried
// as WTF-8 path text.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/scratch_dir.h"
#include "platform/wide.h"

namespace corvane::platform {
namespace {

const std::wstring kLone{L'a', static_cast<wchar_t>(0xD800), L'b'};

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

}  // namespace
}  // namespace corvane::platform
