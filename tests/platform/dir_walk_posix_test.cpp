// What only a POSIX system can show: symbolic links, mount roots, FIFOs,
// names that are not UTF-8, permissions, and trees deeper than PATH_MAX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <map>

#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/posix_fixtures.h"
#include "platform/scratch_dir.h"

namespace corvane::platform {
namespace {

using corvane::testing::ScratchDir;

std::map<std::string, EntryKind> kinds_below(const std::string& root, std::size_t max_depth = SIZE_MAX) {
  std::map<std::string, EntryKind> out;
  DirectoryWalk walk(root, WalkOptions{.max_depth = max_depth});
  while (walk.next()) out[walk.path().substr(root.size() + (root.ends_with('/') ? 0 : 1))] = walk.kind();
  return out;
}

TEST(PosixWalkTest, LinksAreEntriesNeverFollowedAndSpecialsAreNeverOpened) {
  ScratchDir scratch;
  scratch.file("target/inside.txt", 4);
  ASSERT_EQ(symlink("target", scratch.text("dir_link").c_str()), 0);
  ASSERT_EQ(symlink("target/inside.txt", scratch.text("file_link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", scratch.text("dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(scratch.text("pipe").c_str(), 0644), 0);
  auto before = scratch.snapshot();

  // Reaching the end at all shows the FIFO was not opened (that would block).
  auto kinds = kinds_below(scratch.text());
  EXPECT_EQ(kinds, (std::map<std::string, EntryKind>{{"target", EntryKind::directory},
                                                      {"target/inside.txt", EntryKind::file},
                                                      {"dir_link", EntryKind::link},
                                                      {"file_link", EntryKind::link},
                                                      {"dangling", EntryKind::link},
                                                      {"pipe", EntryKind::special}}));
  EXPECT_EQ(link_metadata(scratch.text("dir_link"))->kind, EntryKind::link);
  EXPECT_EQ(path_metadata(scratch.text("dir_link"))->kind, EntryKind::directory);
  EXPECT_TRUE(is_directory(scratch.text("dir_link")));
  EXPECT_EQ(canonical_path(scratch.text("dir_link/inside.txt")).value(),
            canonical_path(scratch.text("target")).value() + "/inside.txt");

  // A root that is a link to a directory is followed.
  auto via_link = kinds_below(scratch.text("dir_link"));
  EXPECT_EQ(via_link.count("inside.txt"), 1u);
  EXPECT_EQ(scratch.snapshot(), before);
}

TEST(PosixWalkTest, OtherMountsAreLinkEntries) {
  struct stat root_st, proc_st;
  if (stat("/", &root_st) != 0 || stat("/proc", &proc_st) != 0 || root_st.st_dev == proc_st.st_dev) {
    GTEST_SKIP() << "no separate /proc mount here";
  }
  auto kinds = kinds_below("/", 1);
  ASSERT_EQ(kinds.count("proc"), 1u);
  EXPECT_EQ(kinds["proc"], EntryKind::link);
}

TEST(PosixWalkTest, NamesThatAreNotUtf8AreShownLossilyAndStillStatted) {
  ScratchDir scratch;
  std::string raw = scratch.text() + "/bad\xFF" "name";
  int fd = open(raw.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "12345", 5), 5);
  close(fd);
  DirectoryWalk walk(scratch.text());
  ASSERT_TRUE(walk.next());
  EXPECT_EQ(walk.name(), "bad\xEF\xBF\xBDname");
  auto st = walk.stat();
  ASSERT_TRUE(st.ok()) << st.error();
  EXPECT_EQ(st->size, 5u);
  EXPECT_EQ(walk.raw_name(), "bad\xFF" "name");
  EXPECT_EQ(walk.raw_path(), raw);
  EXPECT_EQ(display_path(walk.raw_path()), walk.path());
}

TEST(PosixWalkTest, HundredThousandLevelsAreWalkedToTheBottom) {
  ScratchDir scratch(ScratchDir::fast_base());
  constexpr int kLevels = 100'000;
  ASSERT_TRUE(corvane::testing::make_chain(scratch.text(), "d", kLevels, [](int fd) {
    int f = openat(fd, "bottom.bin", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_EQ(write(f, "abc", 3), 3);
    close(f);
  }));
  std::size_t directories = 0;
  std::string bottom;
  std::uint64_t bottom_size = 0;
  {
    DirectoryWalk walk(scratch.text());
    while (walk.next()) {
      if (walk.kind() == EntryKind::directory) ++directories;
      if (walk.kind() == EntryKind::file) {
        bottom = walk.path();
        bottom_size = walk.stat()->size;
      }
    }
  }
  corvane::testing::remove_chain(scratch.text(), "d");
  EXPECT_EQ(directories, static_cast<std::size_t>(kLevels));
  EXPECT_EQ(bottom_size, 3u);
  EXPECT_EQ(bottom.size(), scratch.text().size() + 2 * kLevels + std::string("/bottom.bin").size());
  EXPECT_GT(bottom.size(), static_cast<std::size_t>(PATH_MAX));
}

TEST(PosixWalkTest, UnreadableDirectoriesAndUnsearchableOnesAreSkippedSilently) {
  ScratchDir scratch;
  scratch.file("open/a.txt", 1);
  scratch.file("locked/hidden.txt", 1);
  scratch.file("listonly/f.txt", 1);
  scratch.dir("listonly/sub");
  chmod(scratch.text("locked").c_str(), 0);
  chmod(scratch.text("listonly").c_str(), 0444);  // names readable, entries not
  std::string root = scratch.text();
  int status = corvane::testing::run_unprivileged([&] {
    std::map<std::string, std::string> seen;
    DirectoryWalk walk(root, WalkOptions{.report_directory_ends = true});
    while (walk.next()) {
      std::string rel = walk.path().size() > root.size() ? walk.path().substr(root.size() + 1) : ".";
      if (walk.event() == DirectoryWalk::Event::directory_end) {
        const auto& s = walk.summary();
        seen["end " + rel] = std::string(s.opened ? "opened" : "unopened") + " n" + std::to_string(s.entries) +
                             " f" + std::to_string(s.failures);
      } else {
        seen[rel] = walk.stat().ok() ? "stat" : "nostat";
      }
    }
    EXPECT_EQ(seen, (std::map<std::string, std::string>{
                        {"open", "stat"}, {"open/a.txt", "stat"}, {"end open", "opened n1 f0"},
                        {"locked", "stat"}, {"end locked", "unopened n0 f0"},
                        // The file is named but cannot be stat'ed; the folder cannot even be told.
                        {"listonly", "stat"}, {"listonly/f.txt", "nostat"}, {"end listonly", "opened n1 f1"},
                        {"end .", "opened n3 f0"}}));
  });
  EXPECT_EQ(status, 0);
  chmod(scratch.text("locked").c_str(), 0755);
  chmod(scratch.text("listonly").c_str(), 0755);
}

}  // namespace
}  // namespace corvane::platform
