// What only POSIX can show here: symbolic links, FIFOs and permissions.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "modules/find_copies/copy_search.h"
#include "modules/find_copies/fakes.h"
#include "platform/scratch_dir.h"

namespace corvane::find_copies {
namespace {

namespace fs = std::filesystem;

class CopySearchPosixTest : public ::testing::Test {
 protected:
  corvane::testing::ScratchDir scratch;
  testing_support::RecordingSink sink;
  testing_support::FakeClock clock;

  std::string write(const std::string& relative, const std::string& content) {
    fs::path p = scratch.root() / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  Result<CopySearchResult> search(const std::string& seed, std::vector<std::string> dirs) {
    FindCopiesRequest request{seed, std::move(dirs), true, MatchMode::exact, std::nullopt, "mcp_1"};
    SearchHost host{sink, clock, std::stop_source{}};
    return find_copies(request, host);
  }
};

TEST_F(CopySearchPosixTest, LinksFifosAndDevicesContributeNothing) {
  std::string seed = write("s/seed.txt", "content");
  std::string copy = write("copies/copy.txt", "content");
  fs::create_directories(scratch.root() / "search");
  fs::create_symlink(seed, scratch.root() / "search/link-to-seed.txt");
  fs::create_directory_symlink(scratch.root() / "copies", scratch.root() / "search/link-to-copies");
  ASSERT_EQ(mkfifo((scratch.root() / "search/pipe.txt").c_str(), 0600), 0);
  std::string real = write("search/real.txt", "content");

  // A FIFO that were opened would block this call forever.
  Result<CopySearchResult> result = search(seed, {scratch.text("search")});
  ASSERT_TRUE(result.ok()) << result.error();
  ASSERT_EQ(result->entries.size(), 2u);
  EXPECT_EQ(result->entries[1].path, real);

  // The seed found through a link to its folder is still the seed.
  fs::create_directory_symlink(scratch.root() / "s", scratch.root() / "s-link");
  Result<CopySearchResult> via_link = search(scratch.text("s-link/seed.txt"), {scratch.text("s")});
  ASSERT_TRUE(via_link.ok());
  EXPECT_EQ(via_link->seed_path, seed);
  EXPECT_EQ(via_link->entries.size(), 1u);

  // Neither a FIFO nor a device can be a seed.
  EXPECT_EQ(search(scratch.text("search/pipe.txt"), {scratch.text()}).error(), "SEED_FILE_NOT_REGULAR");
  EXPECT_EQ(search("/dev/null", {scratch.text()}).error(), "SEED_FILE_NOT_REGULAR");
  EXPECT_EQ(search(scratch.text("search/link-to-copies"), {scratch.text()}).error(), "SEED_FILE_NOT_REGULAR");
  // A link to a directory is a directory once resolved.
  EXPECT_TRUE(search(seed, {scratch.text("search/link-to-copies")}).ok());
  EXPECT_EQ(search(seed, {scratch.text("search/real.txt")}).error(), "SEARCH_DIR_NOT_DIRECTORY");
  EXPECT_EQ(search(scratch.text("s/seed.txt/x"), {scratch.text()}).error(), "SEED_FILE_CANONICALIZATION_FAILED");
}

// Permissions do not bind root (as CI runs), so root runs this case again
// in a copy of this program as the unprivileged user 65534.
bool rerun_unprivileged(const char* test_name) {
  if (geteuid() != 0) return false;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return false;
  self[n] = '\0';
  std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups '" + std::string(self) +
                        "' --gtest_filter=" + test_name + " > /dev/null 2>&1";
  int status = std::system(command.c_str());
  EXPECT_EQ(status, 0) << "the unprivileged run failed: " << command;
  return true;
}

TEST_F(CopySearchPosixTest, UnreadableDirectoryIsAWarningNotAFailure) {
  if (rerun_unprivileged("CopySearchPosixTest.UnreadableDirectoryIsAWarningNotAFailure")) return;
  std::string seed = write("seed.txt", "content");
  std::string locked = write("d/locked/copy.txt", "content");
  std::string open_copy = write("d/open/copy.txt", "content");
  ASSERT_EQ(chmod(scratch.text("d/locked").c_str(), 0), 0);
  Result<CopySearchResult> result = search(seed, {scratch.text("d")});
  chmod(scratch.text("d/locked").c_str(), 0700);
  ASSERT_TRUE(result.ok());
  ASSERT_EQ(result->entries.size(), 2u);
  EXPECT_EQ(result->entries[1].path, open_copy);
  bool warned = false;
  for (const ProgressEvent& e : sink.events()) {
    if (e.stage == "warning:SEARCH_DIR_PERMISSION_DENIED:" + scratch.text("d/locked")) warned = true;
  }
  EXPECT_TRUE(warned);
}

}  // namespace
}  // namespace corvane::find_copies
