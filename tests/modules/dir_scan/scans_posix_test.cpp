// Links, FIFOs, permissions and very deep trees: what the POSIX lane alone
// can arrange.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>

#include "empty_folders_reference.h"
#include "modules/dir_scan/scans.h"
#include "platform/posix_fixtures.h"
#include "platform/scratch_dir.h"

namespace corvane::dir_scan {
namespace {

using corvane::testing::ScratchDir;

template <typename Records>
std::vector<std::string> sorted_paths(const Records& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.push_back(r.path);
  std::sort(out.begin(), out.end());
  return out;
}

TEST(PosixScanTest, LinksAndFifosAreNeitherCountedNorEnteredButAreContent) {
  ScratchDir scratch;
  scratch.file("real/big.bin", 1000);
  scratch.file("real/zero");
  scratch.dir("real/empty");
  scratch.dir("only-link");
  scratch.dir("only-fifo");
  ASSERT_EQ(symlink("../real", scratch.text("only-link/to-dir").c_str()), 0);
  ASSERT_EQ(symlink("real/big.bin", scratch.text("file-link").c_str()), 0);
  ASSERT_EQ(symlink("real", scratch.text("dir-link").c_str()), 0);
  ASSERT_EQ(mkfifo(scratch.text("only-fifo/pipe").c_str(), 0644), 0);
  auto before = scratch.snapshot();

  auto top = scan_top_files(scratch.text(), 20);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0].path, scratch.text("real/big.bin"));
  EXPECT_EQ(sorted_paths(scan_empty_files(scratch.text(), {})), (std::vector<std::string>{scratch.text("real/zero")}));
  EXPECT_EQ(sorted_paths(scan_empty_folders(scratch.text(), {})),
            (std::vector<std::string>{scratch.text("real/empty")}));
  EXPECT_FALSE(is_recursively_empty(scratch.text("only-link")));
  EXPECT_FALSE(is_recursively_empty(scratch.text("only-fifo")));
  // A root that is a link to a directory is walked.
  EXPECT_EQ(scan_top_files(scratch.text("dir-link"), 20).size(), 1u);
  EXPECT_EQ(scan_empty_folders(scratch.text("dir-link"), {}).size(), 1u);
  EXPECT_EQ(scratch.snapshot(), before);
}

TEST(PosixScanTest, UnreadableFoldersAreSkippedAndAreNotEmpty) {
  ScratchDir scratch;
  scratch.file("locked/zero");
  scratch.dir("locked-empty");
  scratch.file("open/zero");
  scratch.file("open/data.bin", 50);
  scratch.file("secret.bin", 70);
  chmod(scratch.text("locked").c_str(), 0);
  chmod(scratch.text("locked-empty").c_str(), 0);
  chmod(scratch.text("secret.bin").c_str(), 0);
  std::string root = scratch.text();
  int status = corvane::testing::run_unprivileged([&] {
    auto top = scan_top_files(root, 20);
    // Metadata needs no read permission: the unreadable file still counts.
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top[0].path, root + "/secret.bin");
    EXPECT_EQ(sorted_paths(scan_empty_files(root, {})), (std::vector<std::string>{root + "/open/zero"}));
    EXPECT_TRUE(scan_empty_folders(root, {}).empty());
  });
  EXPECT_EQ(status, 0);
  chmod(scratch.text("locked").c_str(), 0755);
  chmod(scratch.text("locked-empty").c_str(), 0755);
}

// Testing every subfolder's subtree before walking it would list the empty
// chain 2 * 10^8 times; the scan lists it once.
TEST(PosixScanTest, HundredThousandLevelsDeepTreesAreScannedCompletely) {
  ScratchDir scratch(ScratchDir::fast_base());
  constexpr int kLevels = 100'000;
  ASSERT_TRUE(corvane::testing::make_chain(scratch.text(), "d", kLevels, [](int fd) {
    int f = openat(fd, "bottom.bin", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_EQ(write(f, "abc", 3), 3);
    close(f);
    close(openat(fd, "zero", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  }));
  constexpr int kEmptyLevels = 20'000;
  ASSERT_TRUE(corvane::testing::make_chain(scratch.text(), "e", kEmptyLevels, [](int) {}));

  std::string chain = scratch.text() + "/d";
  auto top = scan_top_files(chain, 20);
  auto zero = scan_empty_files(chain, {});
  auto folders = scan_empty_folders(scratch.text(), {});
  corvane::testing::remove_chain(scratch.text(), "d");
  corvane::testing::remove_chain(scratch.text(), "e");

  std::size_t deep_length = chain.size() + 2 * (kLevels - 1);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0].path.size(), deep_length + std::string("/bottom.bin").size());
  EXPECT_TRUE(top[0].path.ends_with("/d/d/bottom.bin"));
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_EQ(zero[0].path.size(), deep_length + std::string("/zero").size());
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0].path, scratch.text() + "/e");
  EXPECT_TRUE(folders[0].recursive_empty);
}

}  // namespace
}  // namespace corvane::dir_scan
