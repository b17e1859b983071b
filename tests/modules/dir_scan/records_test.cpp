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

TEST(RecordRulesTest, LowerCasingIsFullUnicode) {
  EXPECT_EQ(to_lower("D:\\Temp\\A.TXT"), "d:\\temp\\a.txt");
  EXPECT_EQ(to_lower("\xC3\x84\xC3\x96\xC3\x9C\xC3\x9F"), "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F");  // ÄÖÜß
  EXPECT_EQ(to_lower("\xC4\xB0"), "i\xCC\x87");                       // İ -> i + combining dot
  EXPECT_EQ(to_lower("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"), "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82");  // ΟΔΟΣ: final sigma
  EXPECT_EQ(to_lower("\xCE\xA3\xCE\x91"), "\xCF\x83\xCE\xB1");        // ΣΑ: not final
  EXPECT_EQ(to_lower("\xD0\x96\xD0\xBA"), "\xD0\xB6\xD0\xBA");        // Cyrillic
  EXPECT_EQ(to_lower("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");        // Deseret, outside the BMP
  EXPECT_EQ(to_lower("A\xFF" "B"), "a\xFF" "b");                      // ill-formed bytes pass through
}

TEST(RecordRulesTest, ExcludeListNormalisesAndMatchesTextWithoutBoundaries) {
  ExcludeList list({"D:\\Temp\\", "", "\\/\\", "C:/Data//", "\xC3\x84rger"});
  EXPECT_EQ(list.entries(), (std::vector<std::string>{"d:\\temp", "c:/data", "\xC3\xA4rger"}));
  EXPECT_TRUE(list.any_prefix_of(to_lower("D:\\TEMP\\a.txt")));
  EXPECT_TRUE(list.any_prefix_of(to_lower("D:\\Temporary\\a.txt")));
  EXPECT_FALSE(list.any_prefix_of(to_lower("E:\\D:\\Temp")));
  EXPECT_TRUE(list.any_inside(to_lower("E:\\D:\\Temp")));
  EXPECT_TRUE(list.any_inside(to_lower("x/\xC3\x84RGER.txt")));
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
