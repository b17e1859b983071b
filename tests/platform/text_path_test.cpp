#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/scratch_dir.h"
#include "platform/text.h"

namespace corvane::platform {
namespace {

TEST(TextTest, LossyUtf8ReplacesEachIllFormedPartOnce) {
  EXPECT_EQ(lossy_utf8("plain caf\xC3\xA9"), "plain caf\xC3\xA9");
  EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(lossy_utf8("\xE2\x82"), "\xEF\xBF\xBD");               // truncated sequence: one replacement
  EXPECT_EQ(lossy_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");   // overlong: each byte
  EXPECT_EQ(lossy_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(lossy_utf8("\xF4\x90\x80\x80").size(), 12u);          // above U+10FFFF
  EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xF0\x9F\x98"));
}

TEST(TextTest, Utf16ConversionsPairSurrogatesAndReplaceUnpairedOnes) {
  EXPECT_EQ(utf8_from_utf16(u"D:\\Fotos\\caf\u00e9"), "D:\\Fotos\\caf\xC3\xA9");
  EXPECT_EQ(utf8_from_utf16(u"\U0001F600"), "\xF0\x9F\x98\x80");
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00};
  EXPECT_EQ(utf8_from_utf16(std::u16string_view(lone, 4)), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  EXPECT_EQ(utf16_from_utf8("\xF0\x9F\x98\x80x"), u"\U0001F600x");
  EXPECT_EQ(utf16_from_utf8("a\xFF"), u"a\uFFFD");
}

TEST(TextTest, Wtf8KeepsUnpairedSurrogatesAndShowsEachAsOneReplacement) {
  const char16_t units[] = {u'a', 0xD800, u'b', 0xDC00, 0xD83D, 0xDE00, 0xDBFF};
  const std::u16string_view odd(units, 7);
  const std::string wtf8 = wtf8_from_utf16(odd);
  EXPECT_EQ(wtf8, "a\xED\xA0\x80" "b\xED\xB0\x80\xF0\x9F\x98\x80\xED\xAF\xBF");
  EXPECT_FALSE(is_valid_utf8(wtf8));
  EXPECT_EQ(utf16_from_wtf8(wtf8), odd);
  EXPECT_EQ(utf8_from_wtf8(wtf8), utf8_from_utf16(odd));
  EXPECT_EQ(utf8_from_wtf8(wtf8), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD");
  // Plain UTF-8 is WTF-8 unchanged; other ill-formed bytes are still replaced.
  EXPECT_EQ(wtf8_from_utf16(u"D:\\caf\u00e9\U0001F600"), utf8_from_utf16(u"D:\\caf\u00e9\U0001F600"));
  EXPECT_EQ(utf16_from_wtf8("caf\xC3\xA9\xFF"), u"caf\u00e9\uFFFD");
  EXPECT_EQ(utf8_from_wtf8("x\xFF\xC0\xAF"), lossy_utf8("x\xFF\xC0\xAF"));
  // Plain UTF-8 decoding still refuses encoded surrogates.
  EXPECT_EQ(utf16_from_utf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");

  // Random unit strings, surrogates in every arrangement, survive the trip.
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::u16string text(random() % 12, u'\0');
    for (char16_t& unit : text) {
      static constexpr char16_t kPool[] = {u'a', u'/', 0x00E9, 0x20AC, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFD, 0xFFFF};
      unit = kPool[random() % std::size(kPool)];
    }
    std::string carried = wtf8_from_utf16(text);
    ASSERT_EQ(utf16_from_wtf8(carried), text) << round;
    ASSERT_EQ(utf8_from_wtf8(carried), utf8_from_utf16(text)) << round;
  }
}

TEST(PathTextTest, JoinAndVerbatimPrefixForms) {
  std::string s(1, kPathSeparator);
  EXPECT_EQ(join_path("root", "name"), "root" + s + "name");
  EXPECT_EQ(join_path("root" + s, "name"), "root" + s + "name");
  EXPECT_EQ(join_path("", "name"), "name");

  EXPECT_EQ(strip_verbatim_prefix("\\\\?\\D:\\x"), "D:\\x");
  EXPECT_EQ(strip_verbatim_prefix("\\\\?\\UNC\\srv\\share\\x"), "\\\\srv\\share\\x");
  EXPECT_EQ(strip_verbatim_prefix("\\\\?\\unc\\srv\\x"), "unc\\srv\\x");  // exact bytes: lower case is no UNC
  EXPECT_EQ(strip_verbatim_prefix("D:\\x"), "D:\\x");
  EXPECT_EQ(strip_verbatim_prefix("\\\\srv\\x"), "\\\\srv\\x");
  if (kPathSeparator == '\\') {
    EXPECT_EQ(display_path("\\\\?\\D:\\x"), "D:\\x");
    EXPECT_EQ(display_path("\\\\?\\D:\\x\xED\xA0\x80"), "D:\\x\xEF\xBF\xBD");  // one name unit, one U+FFFD
    EXPECT_EQ(join_path("C:", "x"), "C:x");
    EXPECT_EQ(join_path("C:/", "x"), "C:/x");
  } else {
    EXPECT_EQ(display_path("/srv/x"), "/srv/x");
    EXPECT_EQ(display_path("/srv/x\xED\xA0\x80"), "/srv/x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // bytes
    EXPECT_EQ(display_path("\\\\?\\D:\\x"), "\\\\?\\D:\\x");
  }
}

TEST(PathMetadataTest, MetadataDirectoryTestAndCanonicalForm) {
  corvane::testing::ScratchDir scratch;
  scratch.file("sub/f.txt", 9);
  auto meta = path_metadata(scratch.text("sub/f.txt"));
  ASSERT_TRUE(meta.ok()) << meta.error();
  EXPECT_EQ(meta->kind, EntryKind::file);
  EXPECT_EQ(meta->stat.size, 9u);
  EXPECT_GT(meta->stat.last_write, 116444736000000000);
  EXPECT_TRUE(is_directory(scratch.text("sub")));
  EXPECT_FALSE(is_directory(scratch.text("sub/f.txt")));
  EXPECT_FALSE(is_directory(scratch.text("nope")));
  auto missing = path_metadata(scratch.text("nope"));
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().find("(os error "), std::string::npos) << missing.error();
  EXPECT_FALSE(link_metadata("").ok());

  auto canonical = canonical_path(scratch.text("sub/../sub/f.txt"));
  ASSERT_TRUE(canonical.ok()) << canonical.error();
  EXPECT_TRUE(display_path(*canonical).ends_with(std::string("f.txt"))) << *canonical;
  EXPECT_EQ(display_path(*canonical).find(".."), std::string::npos);
  EXPECT_FALSE(canonical_path(scratch.text("nope")).ok());
}

// A C or wide string ends at the first NUL, so such a path would name the
// existing path before it: every call must refuse it as "not found".
TEST(PathMetadataTest, APathHoldingANulNamesNothingAtAnyEntryPoint) {
  corvane::testing::ScratchDir scratch;
  scratch.file("x/f.txt", 4);
  const std::string nul(1, '\0');
  const std::vector<std::string> paths = {
      scratch.text("x") + nul + "y",            // the folder before the NUL exists
      scratch.text("x/f.txt") + nul,            // so does the file
      scratch.text() + nul + kPathSeparator + "x",
      scratch.text("x") + nul + std::string(5000, 'y'),  // long enough to be walked component by component
  };
  for (const std::string& p : paths) {
    SCOPED_TRACE(p.size());
    for (const auto& meta : {path_metadata(p), link_metadata(p)}) {
      ASSERT_FALSE(meta.ok());
      EXPECT_TRUE(meta.error().ends_with("(os error 2)")) << meta.error();
    }
    EXPECT_FALSE(is_directory(p));
    auto canonical = canonical_path(p);
    ASSERT_FALSE(canonical.ok()) << *canonical;
    EXPECT_TRUE(canonical.error().ends_with("(os error 2)")) << canonical.error();
    DirectoryWalk walk(p, WalkOptions{.report_directory_ends = true});
    ASSERT_TRUE(walk.next());
    EXPECT_EQ(walk.event(), DirectoryWalk::Event::directory_end);
    EXPECT_FALSE(walk.summary().opened);
    EXPECT_FALSE(walk.next());
  }
}

}  // namespace
}  // namespace corvane::platform
