// What only a POSIX system can show: symbolic links, mount roots, FIFOs,
// names that are not UTF-8, permissions, and trees deeper than PATH_MAX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <map>

#include "platform/dir_walk.h"
#include "platform/listings.h"
#include "platform/path.h"
#include "platform/posix_fixtures.h"
#include "platform/scratch_dir.h"

namespace corvane::platform {
namespace {

using corvane::testing::ScratchDir;

class PosixWalkTest : public ::testing::TestWithParam<corvane::testing::ListingUnderTest> {
 protected:
  std::unique_ptr<ListingSource> listing() const { return GetParam().make(); }
  corvane::testing::WarmAheadFor warm_{GetParam()};
  std::map<std::string, EntryKind> kinds_below(const std::string& root, std::size_t max_depth = SIZE_MAX) const;
};

INSTANTIATE_TEST_SUITE_P(Listings, PosixWalkTest, ::testing::ValuesIn(corvane::testing::listings_under_test()),
                         corvane::testing::listing_test_name);

std::map<std::string, EntryKind> PosixWalkTest::kinds_below(const std::string& root, std::size_t max_depth) const {
  std::map<std::string, EntryKind> out;
  DirectoryWalk walk(root, WalkOptions{.max_depth = max_depth}, listing());
  while (walk.next()) out[walk.path().substr(root.size() + (root.ends_with('/') ? 0 : 1))] = walk.kind();
  return out;
}

TEST_P(PosixWalkTest, LinksAreEntriesNeverFollowedAndSpecialsAreNeverOpened) {
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

TEST_P(PosixWalkTest, OtherMountsAreLinkEntries) {
  struct stat root_st, proc_st;
  if (stat("/", &root_st) != 0 || stat("/proc", &proc_st) != 0 || root_st.st_dev == proc_st.st_dev) {
    GTEST_SKIP() << "no separate /proc mount here";
  }
  auto kinds = kinds_below("/", 1);
  ASSERT_EQ(kinds.count("proc"), 1u);
  EXPECT_EQ(kinds["proc"], EntryKind::link);
}

TEST_P(PosixWalkTest, NamesThatAreNotUtf8AreShownLossilyAndStillStatted) {
  ScratchDir scratch;
  std::string raw = scratch.text() + "/bad\xFF" "name";
  int fd = open(raw.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "12345", 5), 5);
  close(fd);
  DirectoryWalk walk(scratch.text(), {}, listing());
  ASSERT_TRUE(walk.next());
  EXPECT_EQ(walk.name(), "bad\xEF\xBF\xBDname");
  auto st = walk.stat();
  ASSERT_TRUE(st.ok()) << st.error();
  EXPECT_EQ(st->size, 5u);
  EXPECT_EQ(walk.raw_name(), "bad\xFF" "name");
  EXPECT_EQ(walk.raw_path(), raw);
  EXPECT_EQ(display_path(walk.raw_path()), walk.path());
}

TEST_P(PosixWalkTest, HundredThousandLevelsAreWalkedToTheBottom) {
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
    DirectoryWalk walk(scratch.text(), {}, listing());
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

TEST_P(PosixWalkTest, UnreadableDirectoriesAndUnsearchableOnesAreSkippedSilently) {
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
    DirectoryWalk walk(root, WalkOptions{.report_directory_ends = true}, listing());
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

// A folder moved away while the walk is below it, deeper than the listings
// held open: the folder it came from can no longer be found through its
// "..", so that one and every released folder above it end early, while
// the moved subtree, reached through handles, is walked to its end.
TEST_P(PosixWalkTest, AFolderMovedOutFromUnderAReleasedListingEndsThatListingAndThoseAboveIt) {
  ScratchDir scratch;
  constexpr int kLevels = 70;
  constexpr int kMoved = 12;  // "l11", the 12th folder down: its entries are at depth 13
  std::string relative;
  for (int i = 0; i < kLevels; ++i) {
    relative += (i ? "/l" : "l") + std::to_string(i);
    scratch.file(relative + "/a.txt", 1);
  }
  std::map<std::string, std::string> ends;  // by depth
  std::size_t files_below_moved = 0;
  DirectoryWalk walk(scratch.text(), WalkOptions{.report_directory_ends = true}, listing());
  bool moved = false;
  while (walk.next()) {
    if (walk.event() == DirectoryWalk::Event::directory_end) {
      const auto& s = walk.summary();
      ends[std::string(walk.depth() < 10 ? "0" : "") + std::to_string(walk.depth())] =
          std::string(s.complete ? "complete" : "cut") + (s.failures > 0 ? " failed" : "");
      continue;
    }
    if (walk.kind() == EntryKind::file && walk.depth() > kMoved) ++files_below_moved;
    if (walk.depth() == kLevels && !moved) {
      std::string from = scratch.text();
      for (int i = 0; i < kMoved; ++i) from += "/l" + std::to_string(i);
      ASSERT_EQ(rename(from.c_str(), scratch.text("moved").c_str()), 0);
      moved = true;
    }
  }
  ASSERT_TRUE(moved);
  EXPECT_EQ(files_below_moved, static_cast<std::size_t>(kLevels - kMoved + 1));
  for (int depth = 0; depth <= kLevels; ++depth) {
    std::string key = std::string(depth < 10 ? "0" : "") + std::to_string(depth);
    // The listing at depth kMoved - 1 held "l11"; it and those above it
    // were released and are lost.
    EXPECT_EQ(ends[key], depth < kMoved ? "cut failed" : "complete") << "depth " << depth;
  }
}

TEST_P(PosixWalkTest, WarmersOpenOnlyTheDirectoryTheyListedThroughNoLink) {
  ScratchDir scratch, outside;
  scratch.dir("real/sub");
  outside.dir("sub");
  ASSERT_EQ(symlink(outside.text().c_str(), scratch.text("link").c_str()), 0);
  std::unique_ptr<ListingSource> source = listing();
  ListingSource::Opened base = source->open_root(scratch.text());
  ASSERT_TRUE(base.ok());
  auto entry_for = [](const std::string& path) {
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    ListingSource::Entry entry;
    entry.device = st.st_dev;
    entry.inode = st.st_ino;
    return entry;
  };
  EXPECT_TRUE(source->open_below(*base.value(), "real/sub", entry_for(scratch.text("real/sub"))).ok());
  EXPECT_TRUE(source->open_below(*base.value(), "", {}).ok());
  // A link as the last name, or a directory that is not the one listed
  // (replaced since, or a name now leading elsewhere), is never opened.
  EXPECT_FALSE(source->open_below(*base.value(), "link", entry_for(outside.text())).ok());
  EXPECT_FALSE(source->open_below(*base.value(), "real", entry_for(scratch.text("real/sub"))).ok());
  EXPECT_FALSE(source->open_below(*base.value(), "link/sub", entry_for(scratch.text("real/sub"))).ok());
  if (GetParam().name.starts_with("native")) {
    // Linux refuses links and ".." anywhere on the way, whatever they lead to.
    EXPECT_FALSE(source->open_below(*base.value(), "link/sub", entry_for(outside.text("sub"))).ok());
    EXPECT_FALSE(source->open_below(*base.value(), "../" + scratch.root().filename().string() + "/real/sub",
                                    entry_for(scratch.text("real/sub")))
                     .ok());
  }
}

}  // namespace
}  // namespace corvane::platform
