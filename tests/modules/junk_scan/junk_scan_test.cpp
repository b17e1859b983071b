#include "modules/junk_scan/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <random>

#include "fixture_home.h"
#include "modules/junk_scan/junk_scan_tool.h"
#include "modules/junk_scan/patterns.h"
#include "platform/dir_walk.h"
#include "platform/saturating.h"

namespace corvane::junk_scan {
namespace {

using corvane::testing::ScratchDir;

const JunkLocation& location(std::string_view id) {
  for (const JunkLocation& l : junk_catalogue()) {
    if (l.id == id) return l;
  }
  throw std::runtime_error("no category " + std::string(id));
}

// "d/d/.../d/" with `levels` folders.
std::string levels_down(int levels) {
  std::string out;
  for (int i = 0; i < levels; ++i) out += "d/";
  return out;
}

// The items of `location` below `base` alone, in walk order: one search,
// one walk of its own.
std::vector<JunkItem> collect_items(const JunkLocation& location, const std::string& base) {
  std::vector<JunkSearch> searches{JunkSearch{&location, base, {}}};
  run_searches(searches, *system_environment());
  return std::move(searches[0].items);
}

class JunkScanTest : public ::testing::Test {
 protected:
  std::vector<JunkItem> collect(std::string_view id, const std::string& base_relative) {
    return collect_items(location(id), scratch.text(base_relative));
  }
  std::string at(Where place, const std::string& relative = "") const {
    return relative.empty() ? scratch.text(where(place)) : scratch.text(where(place) + "/" + relative);
  }
  const JunkCategory* category(const JunkScanResult& result, std::string_view id) {
    for (const JunkCategory& c : result.categories) {
      if (c.id == id) return &c;
    }
    return nullptr;
  }

  ScratchDir scratch{ScratchDir::fast_base()};
};

TEST_F(JunkScanTest, PatternRules) {
  NamePattern dmp("*.dmp"), thumbs("Thumbs.db"), stackdump("*.stackdump"), desktop("desktop.ini");
  EXPECT_TRUE(dmp.matches("MEMORY.DMP"));
  EXPECT_TRUE(dmp.matches(".dmp"));
  EXPECT_FALSE(dmp.matches("dmp"));
  EXPECT_FALSE(dmp.matches("a.dmp.txt"));
  EXPECT_TRUE(thumbs.matches("thumbs.DB"));
  EXPECT_FALSE(thumbs.matches("Thumbs.db.bak"));
  // Full lower-casing for suffixes: the Kelvin sign becomes 'k'; exact
  // names fold only A to Z.
  EXPECT_TRUE(stackdump.matches("x.STAC\u212ADUMP"));
  EXPECT_FALSE(desktop.matches("des\u212Atop.ini"));
  EXPECT_TRUE(NamePattern("*.log").matches("\u00C9V\u00C9NEMENT.LOG"));
  EXPECT_TRUE(NamePattern("node_modules").matches("Node_Modules"));
  EXPECT_FALSE(NamePattern("node_modules").matches("node_modules_old"));
}

TEST_F(JunkScanTest, TopLevelFolderSizeStopsAtLevelTwelve) {
  scratch.file("t/small", 10);
  scratch.file("t/sub/" + levels_down(12) + "counted", 5);
  scratch.file("t/sub/" + levels_down(13) + "too_deep", 1000);
  scratch.file("t/only_deep/" + levels_down(13) + "too_deep", 1000);
  scratch.dir("t/empty");
  std::map<std::string, std::pair<std::uint64_t, bool>> found;
  for (const JunkItem& item : collect("system_temp", "t")) found[item.path] = {item.size, item.is_dir};
  EXPECT_EQ(found, (std::map<std::string, std::pair<std::uint64_t, bool>>{{scratch.text("t/small"), {10, false}},
                                                                          {scratch.text("t/sub"), {5, true}},
                                                                          {scratch.text("t/only_deep"), {0, true}},
                                                                          {scratch.text("t/empty"), {0, true}}}));
}

TEST_F(JunkScanTest, BuildFoldersAreFoundEightLevelsDownAndMeasuredSixteen) {
  scratch.file("p/" + levels_down(8) + "build/out.o", 7);
  scratch.file("p/" + levels_down(9) + "build/out.o", 7);  // its parent is at level 9
  scratch.file("p/a/Node_Modules/x/node_modules/y/lib.js", 20);
  scratch.file("p/a/Node_Modules/" + levels_down(16) + "deep.js", 3);
  scratch.file("p/a/Node_Modules/" + levels_down(17) + "too_deep.js", 1000);
  scratch.file("p/a/node_modules_old/lib.js", 1000);
  scratch.file("p/target", 1000);  // a file, not a folder
  auto items = collect("dev_artifacts", "p");
  ASSERT_EQ(items.size(), 2u);
  std::sort(items.begin(), items.end(), [](auto& a, auto& b) { return a.path < b.path; });
  EXPECT_EQ(items[0].path, scratch.text("p/a/Node_Modules"));
  EXPECT_EQ(items[0].size, 23u);  // the inner node_modules inside, once
  EXPECT_EQ(items[1].path, scratch.text("p/" + levels_down(8) + "build"));
  EXPECT_TRUE(items[1].is_dir);
}

TEST_F(JunkScanTest, FilePatternsSearchSixteenLevelsOrOnlyTheBaseFolder) {
  scratch.file("desk/" + levels_down(16) + "Thumbs.db", 4);
  scratch.file("desk/" + levels_down(17) + "Thumbs.db", 4);
  scratch.file("desk/a/thumbs.DB", 2);
  scratch.file("desk/a/Thumbs.db.bak", 2);
  auto metadata = collect("os_metadata", "desk");
  std::vector<std::string> found;
  for (auto& item : metadata) found.push_back(item.path);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{scratch.text("desk/a/thumbs.DB"),
                                             scratch.text("desk/" + levels_down(16) + "Thumbs.db")}));

  scratch.file("tmp/MEMORY.DMP", 9);
  scratch.file("tmp/.dmp", 1);
  scratch.file("tmp/app.crash", 2);
  scratch.file("tmp/sub/nested.dmp", 100);
  auto dumps = collect("crash_dumps", "tmp");
  EXPECT_EQ(dumps.size(), 3u);
  for (auto& item : dumps) EXPECT_FALSE(item.is_dir);
}

TEST_F(JunkScanTest, FixtureHomeShowsEveryCategorySortedAndUnchanged) {
  scratch.file(where(Where::temp) + "/a.tmp", 30);
  scratch.file(where(Where::temp) + "/big/x", 500);
  scratch.file(where(Where::temp) + "/MEMORY.DMP", 40);
  scratch.file(where(Where::package_cache) + "/content/blob", 700);
  scratch.file(where(Where::desktop) + "/album/Thumbs.db", 8);
  scratch.file(where(Where::browser_cache) + "/data_1", 60);
  scratch.file(where(Where::app_cache) + "/app1/shader", 90);
  scratch.file(where(Where::thumbnails) + "/thumbcache_96.db", 70);
  scratch.file(where(Where::user_logs) + "/vendor/app.log", 11);
  scratch.file(where(Where::system_logs) + "/setup.log", 12);
  scratch.file(where(Where::projects) + "/web/node_modules/lib.js", 300);
  scratch.dir("Windows/Temp");
  auto before = scratch.snapshot();
  FakeEnvironment env = home_environment(scratch);

  JunkScanResult result = scan_junk(env);
  EXPECT_EQ(scratch.snapshot(), before);
  std::vector<std::string> ids;
  std::uint64_t total = 0;
  for (const JunkCategory& c : result.categories) {
    ids.push_back(c.id);
    EXPECT_EQ(c.item_count, c.items.size());
    std::uint64_t sum = 0;
    for (auto& item : c.items) sum += item.size;
    EXPECT_EQ(c.total_size, sum);
    total += sum;
    EXPECT_TRUE(std::is_sorted(c.items.begin(), c.items.end(), [](auto& a, auto& b) { return a.size > b.size; }));
  }
  EXPECT_EQ(result.total_size, total);
  EXPECT_EQ(ids, (std::vector<std::string>{"system_temp", "package_cache", "crash_dumps", "os_metadata",
                                           "browser_cache", "app_cache", "thumbnails", "logs", "dev_artifacts"}));

  const JunkCategory* temp = category(result, "system_temp");
  ASSERT_EQ(temp->items.size(), 3u);  // listed twice among the temporary folders, scanned once
  EXPECT_EQ(temp->items[0].path, at(Where::temp, "big"));
  EXPECT_EQ(temp->items[1].path, at(Where::temp, "MEMORY.DMP"));
  EXPECT_EQ(temp->safety, SafetyLevel::Safe);
  EXPECT_EQ(category(result, "crash_dumps")->items[0].path, at(Where::temp, "MEMORY.DMP"));
  EXPECT_EQ(category(result, "package_cache")->items[0].path, at(Where::package_cache, "content"));
  EXPECT_EQ(category(result, "os_metadata")->items[0].size, 8u);
  EXPECT_EQ(category(result, "browser_cache")->safety, SafetyLevel::Caution);
  EXPECT_EQ(category(result, "thumbnails")->items[0].path, at(Where::thumbnails, "thumbcache_96.db"));
  EXPECT_EQ(category(result, "logs")->total_size, 23u);
  const JunkCategory* dev = category(result, "dev_artifacts");
  EXPECT_EQ(dev->items[0].path, at(Where::projects, "web/node_modules"));
  EXPECT_EQ(dev->safety, SafetyLevel::Risky);
  const auto& apps = category(result, "app_cache")->items;
  EXPECT_TRUE(std::any_of(apps.begin(), apps.end(), [&](auto& i) { return i.path == at(Where::app_cache, "app1"); }));

  // Without the user's folders only the system's own places remain.
  env.variables.erase(kProfileVariable);
  ids.clear();
  for (const JunkCategory& c : scan_junk(env).categories) ids.push_back(c.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"system_temp", "crash_dumps", "logs"}));
}

// The scan walks nested base folders once for all their categories; each
// category must still get exactly what a walk of each of its base folders
// on its own finds.
TEST_F(JunkScanTest, SharedWalksFindWhatSeparateWalksFind) {
  std::mt19937 rng(7);
  const char* folders[] = {"node_modules", "build", "Thumbs.db", "a.log", "d0", "d1", "d2", "d3"};
  const char* files[] = {"Thumbs.db", "run.log", "core.dmp", "data", "x.LOG", "desktop.ini"};
  for (std::string place : {where(Where::temp), where(Where::package_cache), where(Where::desktop),
                             where(Where::browser_cache), where(Where::app_cache), where(Where::thumbnails),
                             where(Where::user_logs), where(Where::projects), std::string("home/Documents")}) {
    for (int chain = 0; chain < 12; ++chain) {
      std::string rel = place;
      int depth = static_cast<int>(rng() % 30);
      for (int level = 0; level < depth; ++level) rel += std::string("/") + folders[rng() % 8];
      scratch.file(rel + "/" + files[rng() % 6], rng() % 100);
    }
  }
  // Reached by the walk for Thumbs.db files, but too deep for the search
  // for build folders.
  scratch.file("home/Documents/" + levels_down(11) + "build/out.o", 5);
  FakeEnvironment env = home_environment(scratch);
  JunkScanResult shared = scan_junk(env);
  std::size_t next = 0;
  for (const JunkLocation& l : junk_catalogue()) {
    std::vector<JunkItem> separate;
    for (const std::string& base : base_folders(l.base_folders, env)) {
      for (JunkItem& item : collect_items(l, base)) separate.push_back(std::move(item));
    }
    if (separate.empty()) continue;
    ASSERT_LT(next, shared.categories.size());
    const JunkCategory& c = shared.categories[next++];
    ASSERT_EQ(c.id, l.id);
    std::stable_sort(separate.begin(), separate.end(), [](auto& a, auto& b) { return a.size > b.size; });
    ASSERT_EQ(c.items.size(), separate.size()) << c.id;
    for (std::size_t i = 0; i < separate.size(); ++i) {
      EXPECT_EQ(c.items[i].path, separate[i].path) << c.id;
      EXPECT_EQ(c.items[i].size, separate[i].size) << c.items[i].path;
    }
  }
  EXPECT_EQ(next, shared.categories.size());
  EXPECT_GE(next, 6u);

  // Warmers reading ahead of a slowed walk read no folder it does not
  // enter (below every level limit, inside a measured build folder's
  // search), and change nothing it finds.
  using corvane::testing::ObservedListing;
  platform::set_warm_ahead_override(platform::WarmAhead::always);
  platform::set_walkers_override(1);
  platform::set_entry_pause(std::chrono::microseconds(300));
  ObservedListing::reset();
  env.observed = true;
  JunkScanResult warmed = scan_junk(env);
  platform::set_entry_pause(std::chrono::microseconds(0));
  platform::set_warm_ahead_override(platform::WarmAhead::off);
  ObservedListing::Seen seen = ObservedListing::seen();
  for (const std::string& path : seen.warmed) EXPECT_TRUE(seen.walked.contains(path)) << path;
  EXPECT_GT(seen.warmed.size(), 20u) << "the warmers read ahead at all";
  // Walkers (their folders open through open_below) read only folders the
  // walk alone opens, for the same items in the same order.
  platform::set_walkers_override(4);
  ObservedListing::reset();
  JunkScanResult walked = scan_junk(env);
  platform::set_walkers_override(0);
  platform::set_warm_ahead_override(platform::WarmAhead::when_slow);
  ObservedListing::Seen read = ObservedListing::seen();
  read.walked.insert(read.warmed.begin(), read.warmed.end());
  for (const std::string& path : read.walked) EXPECT_TRUE(seen.walked.contains(path)) << path;
  for (const JunkScanResult* other : {&warmed, &walked}) {
    ASSERT_EQ(other->categories.size(), shared.categories.size());
    for (std::size_t i = 0; i < shared.categories.size(); ++i) {
      EXPECT_EQ(other->categories[i].total_size, shared.categories[i].total_size) << shared.categories[i].id;
      ASSERT_EQ(other->categories[i].items.size(), shared.categories[i].items.size());
      for (std::size_t j = 0; j < shared.categories[i].items.size(); ++j) {
        EXPECT_EQ(other->categories[i].items[j].path, shared.categories[i].items[j].path);
      }
    }
  }
}

TEST_F(JunkScanTest, EqualSizesKeepListingOrder) {
  for (const char* name : {"q", "b", "x", "m", "c", "k"}) scratch.file(where(Where::temp) + "/" + name, 64);
  scratch.file(where(Where::temp) + "/larger", 65);
  std::vector<std::string> listed;
  platform::DirectoryWalk walk(at(Where::temp));
  while (walk.next()) {
    if (walk.name() != "larger") listed.push_back(walk.path());
  }
  JunkScanResult result = scan_junk(home_environment(scratch));
  ASSERT_FALSE(result.categories.empty());
  const auto& items = result.categories[0].items;
  ASSERT_EQ(items.size(), 7u);
  EXPECT_EQ(items[0].path, at(Where::temp, "larger"));
  std::vector<std::string> equal;
  for (std::size_t i = 1; i < items.size(); ++i) equal.push_back(items[i].path);
  EXPECT_EQ(equal, listed);
}

// Sums hold at 2^64 - 1 rather than wrap to a small number: a folder's size,
// a category's total and the overall total. Two files of 2^63 bytes reach
// the limit exactly; every further byte must not take a sum past it.
TEST_F(JunkScanTest, SizesAndTotalsHoldAtTheLargestValueInsteadOfWrapping) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  FakeEnvironment env = home_environment(scratch);
  env.faked_prefix = "huge";
  env.faked_size = std::uint64_t{1} << 63;
  scratch.file(where(Where::temp) + "/folder/huge1", 1);
  scratch.file(where(Where::temp) + "/folder/huge2", 1);
  scratch.file(where(Where::temp) + "/folder/small", 10);
  scratch.file(where(Where::temp) + "/half/huge3", 1);
  scratch.file(where(Where::temp) + "/huge4", 1);
  scratch.file(where(Where::temp) + "/x.dmp", 7);
  JunkScanResult result = scan_junk(env);
  std::vector<std::pair<std::string, std::uint64_t>> temp;
  std::uint64_t others = 0;
  for (const JunkCategory& c : result.categories) {
    if (c.id == "system_temp") {
      EXPECT_EQ(c.total_size, kMax);
      for (const JunkItem& item : c.items) temp.emplace_back(item.path, item.size);
    } else {
      others += c.total_size;
    }
  }
  std::sort(temp.begin(), temp.end());  // equal sizes come in listing order
  EXPECT_EQ(temp, (std::vector<std::pair<std::string, std::uint64_t>>{{at(Where::temp, "folder"), kMax},
                                                                      {at(Where::temp, "half"), 1ull << 63},
                                                                      {at(Where::temp, "huge4"), 1ull << 63},
                                                                      {at(Where::temp, "x.dmp"), 7}}));
  EXPECT_EQ(others, 7u);  // the crash dump, counted once more
  EXPECT_EQ(result.total_size, kMax);

  static_assert(platform::saturating_add(kMax - 1, 1) == kMax);
  static_assert(platform::saturating_add(kMax, kMax) == kMax);
  static_assert(platform::saturating_add(1, kMax - 2) == kMax - 1);
  static_assert(platform::saturating_add(0, 0) == 0);
}

TEST_F(JunkScanTest, NoJunkGivesTheEmptyPayload) {
  scratch.dir(where(Where::temp));
  scratch.file(where(Where::desktop) + "/notes.txt", 5);
  scratch.file(where(Where::projects) + "/app/main.c", 5);
  Json payload = Json(scan_junk(home_environment(scratch)));
  EXPECT_EQ(payload.dump(), R"({"categories":[],"total_size":0})");

  JunkCategory c{"logs", {{"/v/a.log", 5, false}}, 5, 1, SafetyLevel::Caution};
  EXPECT_EQ(Json(c).dump(),
            R"({"id":"logs","item_count":1,"paths":[{"is_dir":false,"path":"/v/a.log","size":5}],)"
            R"("safety":"caution","total_size":5})");
}

}  // namespace
}  // namespace corvane::junk_scan
