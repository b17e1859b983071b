// The cache warmers on a real disk: what they read, how deep, with how many
// handles, and that they let go promptly.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/dir_warm.h"
#include "platform/listings.h"
#include "platform/scratch_dir.h"

namespace corvane::platform {
namespace {

using corvane::testing::ScratchDir;

class WarmerTest : public ::testing::TestWithParam<corvane::testing::ListingUnderTest> {
 protected:
  // 1 + 4 + 16 + 64 directories, four levels, a file in each.
  void SetUp() override { build("", 3); }
  void build(const std::string& at, int levels) {
    scratch.file(at + "f.txt", 7);
    if (levels == 0) return;
    for (char c : std::string("abcd")) build(at + c + "/", levels - 1);
  }
  // Waits (a while at most) for `count` directories to be warmed.
  static bool warmed(const DirectoryWarmer& warmer, std::uint64_t count) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (warmer.warmed_directories() < count && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return warmer.warmed_directories() == count;
  }
  ScratchDir scratch;
};

INSTANTIATE_TEST_SUITE_P(Listings, WarmerTest, ::testing::ValuesIn(corvane::testing::listings_under_test()),
                         corvane::testing::listing_test_name);

TEST_P(WarmerTest, ListsEveryDirectoryOnceWithinItsHandlesAndDepth) {
  std::unique_ptr<ListingSource> source = GetParam().make();
  {
    DirectoryWarmer warmer(*source, scratch.text(), SIZE_MAX, true);
    ASSERT_TRUE(warmer.start());
    warmer.walked_into({});
    EXPECT_TRUE(warmed(warmer, 85));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(warmer.warmed_directories(), 85u);  // and nothing twice
    EXPECT_LE(warmer.most_handles(), DirectoryWarmer::kHandles);
  }
  {
    // A walk that lists two levels reads the root's and its folders' only.
    DirectoryWarmer warmer(*source, scratch.text(), 2, true);
    ASSERT_TRUE(warmer.start());
    EXPECT_TRUE(warmed(warmer, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(warmer.warmed_directories(), 5u);
  }
  {
    // Past the walk: only what is still ahead of it is read. The walk is in
    // "d" (the root's fourth entry at most); "a" to "c" are behind it once
    // their keys sort before d's, so at most d's subtree and the root are.
    DirectoryWarmer warmer(*source, scratch.text(), SIZE_MAX, true);
    warmer.walked_into({4});
    ASSERT_TRUE(warmer.start());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(warmer.warmed_directories(), 1u + 21u);
    EXPECT_GE(warmer.warmed_directories(), 1u);
  }
  {
    // Destroyed at once: the threads stop and are joined, nothing hangs.
    DirectoryWarmer warmer(*source, scratch.text(), SIZE_MAX, true);
    ASSERT_TRUE(warmer.start());
  }
  // A root that cannot be opened: no warming, and the walk goes on.
  DirectoryWarmer missing(*source, scratch.text("missing"), SIZE_MAX, true);
  EXPECT_FALSE(missing.start());
}

}  // namespace
}  // namespace corvane::platform
