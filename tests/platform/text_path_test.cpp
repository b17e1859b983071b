#include <gtest/gtest.h>

#include <vector>

#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/scratch_dir.h"

namespace corvane::platform {
namespace {

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

TEST(PathTextTest, WindowsAttributesThatSayTheDataIsElsewhere) {
  struct Row {
    std::uint32_t attributes;
    bool listed, expected;
  };
  const Row rows[] = {
      {0x20, true, false},          {0x10, true, false},        {0x400 | 0x20, true, false},  // reparse alone
      {0x1000, false, true},        {0x1000 | 0x10, true, true},                             // offline
      {0x400000, false, true},      {0x400000 | 0x400, true, true},                          // recall on data access
      {0x40000, true, true},        {0x40000 | 0x10, true, true},                            // recall on open, listed
      {0x40000, false, false},                                                               // FILE_ATTRIBUTE_EA there
      {0x80000 | 0x20, true, false}, {0x100000 | 0x20, true, false},                         // pinned, unpinned
  };
  for (const Row& row : rows) {
    EXPECT_EQ(data_not_local(row.attributes, row.listed), row.expected) << std::hex << row.attributes << row.listed;
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
