#include "modules/dir_scan/scans.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "empty_folders_reference.h"
#include "platform/dir_walk.h"
#include "platform/observed_listing.h"
#include "platform/path.h"
#include "platform/scratch_dir.h"

namespace corvane::dir_scan {
namespace {

using corvane::testing::ScratchDir;
using platform::DirectoryWalk;
using platform::EntryKind;

// Fixtures must come out of every scan exactly as they went in.
class ScanTest : public ::testing::Test {
 protected:
  void freeze() { before_ = scratch.snapshot(); }
  void TearDown() override {
    if (frozen()) {
      EXPECT_EQ(scratch.snapshot(), *before_);
    }
  }
  bool frozen() const { return before_.has_value(); }
  std::string at(const std::string& relative) const { return scratch.text(relative); }

  ScratchDir scratch;

 private:
  std::optional<decltype(scratch.snapshot())> before_;
};

std::vector<std::string> names_in_walk_order(const std::string& root) {
  std::vector<std::string> out;
  DirectoryWalk walk(root);
  while (walk.next()) out.emplace_back(walk.name());
  return out;
}

template <typename Records>
std::vector<std::string> paths(const Records& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.push_back(r.path);
  return out;
}

TEST_F(ScanTest, TopFilesKeepsTheLargestAndEarlierEntriesAtTheBoundary) {
  scratch.file("a/big.bin", 500);
  scratch.file("a/.hidden.dat", 400);
  for (const char* n : {"tie1", "tie2", "tie3", "tie4"}) scratch.file(std::string("t/") + n, 100);
  scratch.file("small", 10);
  scratch.file("zero");
  freeze();

  auto top = scan_top_files(scratch.text(), 4);
  ASSERT_EQ(top.size(), 4u);
  EXPECT_EQ(top[0].path, at("a/big.bin"));
  EXPECT_EQ(top[0].name, "big.bin");
  EXPECT_EQ(top[0].extension, "bin");
  EXPECT_GT(top[0].modified, 1'600'000'000);
  EXPECT_EQ(top[1].path, at("a/.hidden.dat"));
  EXPECT_EQ(top[2].size, 100u);
  EXPECT_EQ(top[3].size, 100u);

  // Once the heap is full, a file the size of its smallest does not get in:
  // among four equal files, the two the walk met first stay.
  auto ties = scan_top_files(at("t"), 2);
  std::vector<std::string> met;
  for (auto& n : names_in_walk_order(at("t"))) met.push_back(at("t/" + n));
  ASSERT_EQ(ties.size(), 2u);
  std::vector<std::string> kept = {ties[0].path, ties[1].path};
  std::sort(kept.begin(), kept.end());
  std::vector<std::string> first_two = {met[0], met[1]};
  std::sort(first_two.begin(), first_two.end());
  EXPECT_EQ(kept, first_two);

  auto all = scan_top_files(scratch.text(), 200);
  ASSERT_EQ(all.size(), 7u);  // the zero-byte file never counts
  for (std::size_t i = 1; i < all.size(); ++i) EXPECT_GE(all[i - 1].size, all[i].size);
  EXPECT_EQ(all.back().size, 10u);
  EXPECT_EQ(scan_top_files(scratch.text(), 1).size(), 1u);
}

TEST_F(ScanTest, TopFilesOfAFileOrEmptyTreeOrNulPathIsEmpty) {
  scratch.file("only-zero/z");
  auto file = ScratchDir::path_text(scratch.file("f.txt", 3));
  freeze();
  EXPECT_TRUE(scan_top_files(at("only-zero"), 20).empty());
  EXPECT_TRUE(scan_top_files(file, 20).empty());
  // Cut at the NUL this would name the existing folder and walk it.
  const std::string nul = at("only-zero") + std::string(1, '\0') + "x";
  EXPECT_TRUE(scan_top_files(nul, 20).empty());
  EXPECT_TRUE(scan_empty_files(nul, {}).empty());
}

TEST_F(ScanTest, EmptyFilesWithRecursionExcludesAndRecords) {
  scratch.file("root.log");
  scratch.file("full.txt", 4);
  scratch.file("Sub/inner.TXT");
  scratch.file("Sub/deeper/.empty");
  scratch.file("Temporary/t.tmp");
  scratch.file("Temp/x");
  freeze();

  EmptyScanOptions options;
  auto all = scan_empty_files(scratch.text(), options);
  EXPECT_EQ(all.size(), 5u);
  auto inner = std::find_if(all.begin(), all.end(), [](auto& e) { return e.name == "inner.TXT"; });
  ASSERT_NE(inner, all.end());
  EXPECT_EQ(inner->path, at("Sub/inner.TXT"));
  EXPECT_EQ(inner->extension, "txt");
  EXPECT_EQ(inner->size, 0u);
  EXPECT_GT(inner->modified, 1'600'000'000);
  EXPECT_GT(inner->accessed, 1'600'000'000);

  options.recursive = false;
  EXPECT_EQ(paths(scan_empty_files(scratch.text(), options)), (std::vector<std::string>{at("root.log")}));

  // Case-insensitive, trailing separators ignored, no component boundary.
  options.recursive = true;
  options.exclude_paths = {at("TEMP") + "//", "INNER"};
  std::vector<std::string> left = paths(scan_empty_files(scratch.text(), options));
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{at("Sub/deeper/.empty"), at("root.log")}));

  // The root itself, in another case and with a separator on the end.
  options.exclude_paths = {lowered_path(scratch.text()) + std::string(1, platform::kPathSeparator)};
  EXPECT_TRUE(scan_empty_files(scratch.text(), options).empty());
  EXPECT_TRUE(scan_empty_folders(scratch.text(), options).empty());
}

TEST_F(ScanTest, EmptyFoldersReportsOutermostEmptyFolderOnceInWalkOrder) {
  scratch.dir("chain/b/c");       // only empty folders: reported once, recursive_empty true
  scratch.dir("bare");            // nothing at all: recursive_empty false
  scratch.file("holds-zero/z");   // a zero-byte file is content
  scratch.dir("mixed/empty-in-mixed");
  scratch.file("mixed/f", 1);
  freeze();

  auto found = scan_empty_folders(scratch.text(), {});
  std::map<std::string, bool> by_path;
  for (auto& e : found) by_path[e.path] = e.recursive_empty;
  EXPECT_EQ(by_path, (std::map<std::string, bool>{
                         {at("chain"), true}, {at("bare"), false}, {at("mixed/empty-in-mixed"), false}}));
  auto chain = std::find_if(found.begin(), found.end(), [&](auto& e) { return e.path == at("chain"); });
  EXPECT_EQ(chain->name, "chain");
  // Walk order: as the listing met them.
  std::vector<std::string> order;
  for (auto& n : names_in_walk_order(scratch.text())) {
    for (auto& e : found) {
      if (e.name == n) order.push_back(e.path);
    }
  }
  EXPECT_EQ(paths(found), order);

  EXPECT_TRUE(is_recursively_empty(at("chain")));
  EXPECT_TRUE(is_recursively_empty(at("bare")));
  EXPECT_FALSE(is_recursively_empty(at("holds-zero")));
  EXPECT_FALSE(is_recursively_empty(at("missing")));
  EXPECT_TRUE(scan_empty_folders(at("bare"), {}).empty());  // the root is never reported

  EmptyScanOptions flat;
  flat.recursive = false;
  std::map<std::string, bool> top_only;
  for (auto& e : scan_empty_folders(scratch.text(), flat)) top_only[e.path] = e.recursive_empty;
  EXPECT_EQ(top_only, (std::map<std::string, bool>{{at("chain"), true}, {at("bare"), false}}));
}

TEST_F(ScanTest, ResultCapStopsEnteringDirectoriesButFinishesTheOneBeingListed) {
  for (const char* d : {"a", "b", "c"}) {
    for (const char* f : {"1", "2", "3"}) scratch.file(std::string(d) + "/" + f);
  }
  freeze();
  EmptyScanOptions options;
  options.result_cap = 4;
  // After the first folder 3 are held (not more than 3), so the second is
  // entered and finished; then 6 are held and the third is not entered.
  EXPECT_EQ(scan_empty_files(scratch.text(), options).size(), 6u);
  options.result_cap = 1;
  EXPECT_EQ(scan_empty_files(scratch.text(), options).size(), 3u);
}

// What a reply could list: a keeper holds the records whose floors fit its
// budget, in walk order, and counts every one found, the result cap too.
TEST_F(ScanTest, KeepersHoldThePrefixThatCanFitAndCountEverythingFound) {
  for (const char* d : {"a", "b/c", "d"}) {
    for (int i = 0; i < 12; ++i) scratch.file(std::string(d) + "/zero-" + std::to_string(i));
    scratch.file(std::string(d) + "/full", 3);
    scratch.dir(std::string(d) + "/empty/inner");
  }
  freeze();
  auto all_files = scan_empty_files(scratch.text(), {});
  auto all_folders = scan_empty_folders(scratch.text(), {});
  ASSERT_EQ(all_files.size(), 36u);
  ASSERT_EQ(all_folders.size(), 3u);
  // How many records of `all` fit `budget`, worked out on its own.
  auto fitting = [](const auto& all, std::size_t budget) {
    std::size_t used = 0;
    std::size_t n = 0;
    while (n < all.size() && used + all[n].path.size() + all[n].name.size() + kRecordFloor <= budget) {
      used += all[n].path.size() + all[n].name.size() + kRecordFloor;
      ++n;
    }
    return n;
  };
  for (std::size_t budget : {std::size_t{0}, std::size_t{100}, std::size_t{1000}, std::size_t{2500}, kReplyBudget}) {
    KeptRecords<EmptyFileEntry> files(budget);
    scan_empty_files(scratch.text(), {}, files);
    EXPECT_EQ(files.found(), all_files.size());
    std::size_t n = fitting(all_files, budget);
    EXPECT_EQ(paths(files.records()), paths(std::vector<EmptyFileEntry>(all_files.begin(), all_files.begin() + n)));
    EXPECT_EQ(files.omitted(), all_files.size() - n);

    KeptRecords<EmptyFolderEntry> folders(budget);
    scan_empty_folders(scratch.text(), {}, folders);
    EXPECT_EQ(folders.found(), all_folders.size());
    n = fitting(all_folders, budget);
    EXPECT_EQ(paths(folders.records()),
              paths(std::vector<EmptyFolderEntry>(all_folders.begin(), all_folders.begin() + n)));
  }
  // The cap stops the walk on records found, kept or not.
  EmptyScanOptions capped;
  capped.result_cap = 5;
  KeptRecords<EmptyFileEntry> none(0);
  scan_empty_files(scratch.text(), capped, none);
  EXPECT_EQ(none.found(), scan_empty_files(scratch.text(), capped).size());
  EXPECT_LT(none.found(), all_files.size());
  EXPECT_TRUE(none.records().empty());
}

// The scan must give exactly what testing every subfolder's whole subtree
// first, then walking it, gives. This is that slow procedure, written out.
class ReferenceFolders {
 public:
  ReferenceFolders(const EmptyScanOptions& options) : options_(options), excludes_(options.exclude_paths) {}

  std::vector<EmptyFolderEntry> run(const std::string& root) {
    walk(root);
    return std::move(out_);
  }

 private:
  struct Listing {
    bool ok = false;
    std::vector<std::pair<std::string, EntryKind>> entries;  // path, kind
    std::vector<std::string> names;
  };
  static Listing list(const std::string& dir) {
    Listing l;
    DirectoryWalk walk(dir, platform::WalkOptions{.max_depth = 1, .report_directory_ends = true});
    while (walk.next()) {
      if (walk.event() == DirectoryWalk::Event::directory_end) {
        l.ok = walk.summary().opened && walk.summary().failures == 0;
      } else {
        l.entries.emplace_back(walk.path(), walk.kind());
        l.names.emplace_back(walk.name());
      }
    }
    return l;
  }
  static bool empty(const std::string& dir) {
    Listing l = list(dir);
    if (!l.ok) return false;
    for (auto& [path, kind] : l.entries) {
      if (kind != EntryKind::directory || !empty(path)) return false;
    }
    return true;
  }
  void walk(const std::string& dir) {
    if (out_.size() > options_.result_cap - 1) return;
    Listing l = list(dir);
    for (std::size_t i = 0; i < l.entries.size(); ++i) {
      auto& [path, kind] = l.entries[i];
      if (kind != EntryKind::directory) continue;
      std::string lowered = lowered_path(path);
      if (!excludes_.empty() && (excludes_.any_prefix_of(lowered) || excludes_.any_inside(lowered))) continue;
      if (empty(path)) {
        out_.push_back(EmptyFolderEntry{path, l.names[i], !list(path).entries.empty()});
      } else if (options_.recursive) {
        walk(path);
      }
    }
  }
  EmptyScanOptions options_;
  ExcludeList excludes_;
  std::vector<EmptyFolderEntry> out_;
};

void build_random_tree(const ScratchDir& scratch, std::mt19937& rng) {
  const char* names[] = {"a", "Tmp", "tmpx", "keep", "b", "zz", "x.y"};
  std::vector<std::pair<std::string, int>> todo = {{"", 0}};
  while (!todo.empty()) {
    auto [dir, depth] = todo.back();
    todo.pop_back();
    int children = static_cast<int>(rng() % 5);
    for (int i = 0; i < children; ++i) {
      std::string rel = (dir.empty() ? "" : dir + "/") + names[rng() % 7] + std::to_string(i);
      unsigned roll = rng() % 10;
      if (roll < 5 && depth < 6) {
        scratch.dir(rel);
        todo.emplace_back(rel, depth + 1);
      } else if (roll < 7) {
        scratch.dir(rel);  // an empty leaf
      } else if (roll < 9) {
        scratch.file(rel);
      } else {
        scratch.file(rel, 3);
      }
    }
  }
}

std::string describe(const std::vector<EmptyFolderEntry>& records) {
  std::string out;
  for (auto& r : records) out += r.path + (r.recursive_empty ? " +\n" : " -\n");
  return out;
}

TEST(EmptyFoldersEquivalenceTest, OnePassMatchesTestingEverySubtreeFirst) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    ScratchDir scratch;
    std::mt19937 rng(seed);
    build_random_tree(scratch, rng);
    for (bool recursive : {true, false}) {
      for (auto excludes : std::vector<std::vector<std::string>>{{}, {"TMP"}, {scratch.text("a0")}, {"zz", "KEEP"}}) {
        for (std::size_t cap : {kResultCap, std::size_t{1}, std::size_t{3}}) {
          EmptyScanOptions options{recursive, excludes, cap};
          std::string expected = describe(ReferenceFolders(options).run(scratch.text()));
          std::string actual = describe(scan_empty_folders(scratch.text(), options));
          ASSERT_EQ(actual, expected) << "seed " << seed << " recursive " << recursive << " cap " << cap
                                      << " excludes " << (excludes.empty() ? "" : excludes[0]);
        }
      }
    }
  }
}

}  // namespace
}  // namespace corvane::dir_scan

namespace corvane::dir_scan {
namespace {

// The warmers read ahead of the walk, so they must never read a folder the
// walk would not: an excluded one, one below the depth a scan goes to, or
// one the empty-folders scan only tests for emptiness. The walk is slowed
// so that the warmers get far ahead of it.
TEST(WarmersTest, ReadNoFolderTheEmptyScansWouldNotWalk) {
  using corvane::testing::ObservedListing;
  platform::set_warm_ahead_override(platform::WarmAhead::always);
  platform::set_entry_pause(std::chrono::microseconds(500));
  std::size_t warmed = 0;
  for (unsigned seed = 1; seed <= 3; ++seed) {
    ScratchDir scratch;
    std::mt19937 rng(seed);
    // Wide enough for the warmers to have work ahead of the walk.
    std::vector<std::string> folders{""};
    const char* names[] = {"a", "Skip", "c", "b", "xskipx"};
    for (int i = 0; i < 150; ++i) {
      std::string parent = folders[rng() % folders.size()];
      if (std::count(parent.begin(), parent.end(), '/') > 6) parent.clear();
      folders.push_back(parent + (parent.empty() ? "" : "/") + names[rng() % 5] + std::to_string(i));
      scratch.dir(folders.back());
      if (rng() % 3 != 0) scratch.file(folders.back() + "/f", rng() % 2);
    }
    for (bool recursive : {true, false}) {
      // The files scan excludes folders by prefix ("<root>/b..."), the
      // folders scan by any part of the path ("skip" too).
      std::string prefix = lowered_path(platform::join_path(scratch.text(), "B"));
      EmptyScanOptions options{recursive, {"SKIP", prefix}};
      options.listing = ObservedListing::make;
      for (bool folders : {false, true}) {
        auto scan = [&] {
          ObservedListing::reset();
          std::vector<std::string> found;
          if (folders) {
            for (auto& e : scan_empty_folders(scratch.text(), options)) found.push_back(e.path);
          } else {
            for (auto& e : scan_empty_files(scratch.text(), options)) found.push_back(e.path);
          }
          return std::pair(found, ObservedListing::seen());
        };
        platform::set_walkers_override(1);
        platform::set_warm_ahead_override(platform::WarmAhead::always);
        auto [alone, seen] = scan();
        for (const std::string& path : seen.warmed) {
          EXPECT_TRUE(seen.walked.contains(path)) << path << (folders ? " folders" : " files") << " seed " << seed;
          std::string lowered = lowered_path(path);
          EXPECT_FALSE(lowered.starts_with(prefix)) << path;
          if (folders) {
            EXPECT_EQ(lowered_path(path.substr(scratch.text().size())).find("skip"), std::string::npos) << path;
          }
        }
        warmed += seen.warmed.size();
        // Walkers read every folder below the root through open_below: only
        // ones the walk alone opens, for the same records.
        platform::set_walkers_override(4);
        platform::set_warm_ahead_override(platform::WarmAhead::off);
        auto [together, read] = scan();
        EXPECT_EQ(together, alone);
        read.walked.insert(read.warmed.begin(), read.warmed.end());
        for (const std::string& path : read.walked) EXPECT_TRUE(seen.walked.contains(path)) << path;
      }
    }
  }
  platform::set_entry_pause(std::chrono::microseconds(0));
  platform::set_warm_ahead_override(platform::WarmAhead::when_slow);
  platform::set_walkers_override(0);
  EXPECT_GT(warmed, 50u) << "the warmers read ahead at all";
}

}  // namespace
}  // namespace corvane::dir_scan
