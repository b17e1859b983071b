// What only POSIX can show here: symbolic links, FIFOs and permissions.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "modules/find_copies/copy_search.h"
#include "platform/progress_fakes.h"
#include "platform/scratch_dir.h"

namespace corvane::find_copies {
namespace {

namespace fs = std::filesystem;

class CopySearchPosixTest : public ::testing::Test {
 protected:
  corvane::testing::ScratchDir scratch;
  corvane::testing::RecordingSink sink;
  corvane::testing::FakeClock clock;

  std::string write(const std::string& relative, const std::string& content) {
    fs::path p = scratch.root() / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  Result<CopySearchResult> search(const std::string& seed, std::vector<std::string> dirs) {
    FindCopiesRequest request{seed, std::move(dirs), true, MatchMode::exact, std::nullopt, "mcp_1"};
    SearchHost host{sink, clock};
    std::stop_source stop;
    platform::ProgressCounters counters;
    ToolContext context{stop.get_token(), counters};
    return find_copies(request, host, context);
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

// Names that are not UTF-8 show as U+FFFD text, which may also be the real
// name of a neighbour: every candidate is opened, keyed and told from the
// seed by its own bytes, and only shown by the lossy text.
TEST_F(CopySearchPosixTest, NamesThatAreNotUtf8AreOpenedByTheirBytesAndShownLossily) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::string same = "same content", other = "othr content";
  std::string seed = write("seed", same);
  auto at = [&](const std::string& relative, const std::string& content, long mtime) {
    std::string p = write(relative, content);
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
    return p;
  };
  auto rows = [&](const Result<CopySearchResult>& r) {
    std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> out;
    if (!r.ok()) return out;
    for (std::size_t i = 1; i < r->entries.size(); ++i) {
      out.emplace_back(r->entries[i].path.substr(scratch.text().size()), r->entries[i].size, r->entries[i].modified);
    }
    return out;
  };
  using Rows = std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>>;

  // The copy is the U+FFFD-named file; its neighbour c\xFE differs.
  at("s/c\xFE", other, 1000);
  at("s/c" + fffd, same, 2000);
  EXPECT_EQ(rows(search(seed, {scratch.text("s")})), (Rows{{"/s/c" + fffd, 12, 2000}}));
  // The copy is c\xFE, shown by the same text as its differing neighbour.
  at("t/c\xFE", same, 3000);
  at("t/c" + fffd, other, 4000);
  EXPECT_EQ(rows(search(seed, {scratch.text("t")})), (Rows{{"/t/c" + fffd, 12, 3000}}));

  // Inside a folder so named, and sorted by the shown bytes: U+FFFD (EF BF
  // BD) after e-acute (C3 A9), though the raw 0x80 sorts before it.
  at("u/bad\x80/copy", same, 5000);
  at("u/b\x80", same, 6000);
  at("u/b\xC3\xA9", same, 7000);
  at("u/x\xFF.txt", same, 8000);  // not valid UTF-8: no extension key, like the seed
  EXPECT_EQ(rows(search(seed, {scratch.text("u")})), (Rows{{"/u/bad" + fffd + "/copy", 12, 5000},
                                                           {"/u/b\xC3\xA9", 12, 7000},
                                                           {"/u/b" + fffd, 12, 6000},
                                                           {"/u/x" + fffd + ".txt", 12, 8000}}));
  std::string txt_seed = write("seed.txt", same);
  EXPECT_EQ(rows(search(txt_seed, {scratch.text("u")})), Rows{});

  // A seed reached through a link into such a folder is still the seed,
  // and is shown lossily.
  at("v/bad\x80/seed2", same, 9000);
  at("v/bad\x80/twin", same, 9100);
  fs::create_directory_symlink(scratch.root() / "v/bad\x80", scratch.root() / "v/link");
  Result<CopySearchResult> via_link = search(scratch.text("v/link/seed2"), {scratch.text("v")});
  ASSERT_TRUE(via_link.ok()) << via_link.error();
  EXPECT_EQ(via_link->seed_path, scratch.text("v/bad" + fffd + "/seed2"));
  EXPECT_EQ(via_link->entries[0].path, via_link->seed_path);
  EXPECT_EQ(rows(via_link), (Rows{{"/v/bad" + fffd + "/twin", 12, 9100}}));
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
  for (const platform::ProgressEvent& e : sink.events()) {
    if (e.stage == "warning:SEARCH_DIR_PERMISSION_DENIED:" + scratch.text("d/locked")) warned = true;
  }
  EXPECT_TRUE(warned);
}

}  // namespace
}  // namespace corvane::find_copies
