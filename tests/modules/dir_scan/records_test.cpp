#include "modules/dir_scan/records.h"

#include <gtest/gtest.h>

#include "modules/dir_scan/dir_scan_tool.h"
#include "modules/dir_scan/scans.h"

namespace corvane::dir_scan {
namespace {

TEST(RecordRulesTest, ExtensionsFollowTheLastDotRule) {
  EXPECT_EQ(extension_of("Photo.JPG"), "jpg");
  EXPECT_EQ(extension_of("archive.tar.gz"), "gz");
  EXPECT_EQ(extension_of("notes."), "");
  EXPECT_EQ(extension_of(".gitignore"), std::nullopt);
  EXPECT_EQ(extension_of("Makefile"), std::nullopt);
  EXPECT_EQ(extension_of(""), std::nullopt);
  EXPECT_EQ(extension_of(".."), std::nullopt);
  EXPECT_EQ(extension_of("..x"), "x");
  EXPECT_EQ(extension_of("BILD.\xC3\x9C" "BER"), "\xC3\xBC" "ber");  // ÜBER
}

TEST(RecordRulesTest, UnixSecondsDropsTheRemainderAndClampsBefore1970) {
  EXPECT_EQ(unix_seconds(116444736000000000), 0);
  EXPECT_EQ(unix_seconds(116444736000000000 + 19'999'999), 1);
  EXPECT_EQ(unix_seconds(116444736000000000 - 1), 0);
  EXPECT_EQ(unix_seconds(0), 0);
  EXPECT_EQ(unix_seconds(-5), 0);
  EXPECT_EQ(unix_seconds(133'000'000'000'000'000), 1'655'526'400);
}

TEST(RecordRulesTest, ExcludeListNormalisesAndMatchesTextWithoutBoundaries) {
  ExcludeList list({"D:\\Temp\\", "", "\\/\\", "C:/Data//", "\xC3\x84rger"});
  EXPECT_EQ(list.entries(), (std::vector<std::string>{"d:\\temp", "c:/data", "\xC3\xA4rger"}));
  EXPECT_TRUE(list.any_prefix_of(lowered_path("D:\\TEMP\\a.txt")));
  EXPECT_TRUE(list.any_prefix_of(lowered_path("D:\\Temporary\\a.txt")));
  EXPECT_FALSE(list.any_prefix_of(lowered_path("E:\\D:\\Temp")));
  EXPECT_TRUE(list.any_inside(lowered_path("E:\\D:\\Temp")));
  EXPECT_TRUE(list.any_inside(lowered_path("x/\xC3\x84RGER.txt")));
  EXPECT_TRUE(ExcludeList({"", "//"}).empty());
}

TEST(RecordJsonTest, RecordsSerialiseWithTheirKeysAndNullExtensions) {
  Json file = FileEntry{"/a/Makefile", "Makefile", 12, std::nullopt, 5};
  EXPECT_EQ(file.dump(), R"({"extension":null,"modified":5,"name":"Makefile","path":"/a/Makefile","size":12})");
  Json empty = EmptyFileEntry{"/a/x.Log", "x.Log", 0, "log", 7, 9};
  EXPECT_EQ(empty.dump(), R"({"accessed":9,"extension":"log","modified":7,"name":"x.Log","path":"/a/x.Log","size":0})");
  Json folder = EmptyFolderEntry{"/a/b", "b", true};
  EXPECT_EQ(folder.dump(), R"({"name":"b","path":"/a/b","recursive_empty":true})");
}

TEST(TopFilesHeapTest, OrderIsSizeThenPathBytes) {
  FileEntry small{"/b", "b", 1, std::nullopt, 0}, big{"/a", "a", 2, std::nullopt, 0};
  FileEntry prefix{"/a", "a", 1, std::nullopt, 0}, longer{"/a/b", "b", 1, std::nullopt, 0};
  FileEntry high{"/\xC3\xA9", "x", 1, std::nullopt, 0};
  EXPECT_TRUE(heap_less(small, big));
  EXPECT_TRUE(heap_less(prefix, longer));
  EXPECT_TRUE(heap_less(small, high));  // bytes compare unsigned
  EXPECT_FALSE(heap_less(prefix, prefix));
}

}  // namespace
}  // namespace corvane::dir_scan
