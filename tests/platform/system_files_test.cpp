#include "platform/system_files.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/path.h"
#include "platform/scratch_dir.h"

namespace corvane::platform {
namespace {

using corvane::testing::ScratchDir;

TEST(SystemFilesTest, SmallFilesAreReadWholeAndFailuresCarryTheSystemText) {
  ScratchDir scratch;
  scratch.file("big.bin", 10'000);  // more than one read's buffer
  scratch.file("empty");
  scratch.dir("folder");
  Result<std::string> big = read_small_file(scratch.text("big.bin"));
  ASSERT_TRUE(big.ok()) << big.error();
  ASSERT_EQ(big->size(), 10'000u);
  for (std::size_t i = 0; i < big->size(); ++i) {
    ASSERT_EQ(static_cast<unsigned char>((*big)[i]), ScratchDir::pattern_byte(i)) << i;
  }
  EXPECT_EQ(read_small_file(scratch.text("empty")).value(), "");

  Result<std::string> missing = read_small_file(scratch.text("missing"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), path_metadata(scratch.text("missing")).error());
  EXPECT_FALSE(read_small_file(scratch.text("folder")).ok());  // opens, but reading it fails
  EXPECT_FALSE(read_small_file(scratch.text("big.bin") + std::string(1, '\0') + "x").ok());
}

TEST(SystemFilesTest, DirectoryNamesAreTheNamesOfOneLevelOnly) {
  ScratchDir scratch;
  scratch.file("a.txt", 1);
  scratch.file("sub/deeper.txt", 1);
  scratch.file(".hidden");
  std::vector<std::string> names = directory_names(scratch.text());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "a.txt", "sub"}));
  EXPECT_EQ(directory_names(scratch.text("sub")), std::vector<std::string>{"deeper.txt"});
  EXPECT_TRUE(directory_names(scratch.text("missing")).empty());
  EXPECT_TRUE(directory_names(scratch.text("a.txt")).empty());
}

}  // namespace
}  // namespace corvane::platform
