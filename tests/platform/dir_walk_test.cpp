#include "platform/dir_walk.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/listings.h"
#include "platform/path.h"
#include "platform/scratch_dir.h"

namespace corvane::platform {
namespace {

using corvane::testing::ScratchDir;

// A listing made of scripted reads, one queue per directory in the order the
// walk opens them.
class ScriptedListing : public ListingSource {
 public:
  struct Step {
    Read read;
    std::string name;
    EntryKind kind = EntryKind::file;
    std::string raw = {};  // the system's spelling, when it differs from `name`
  };
  explicit ScriptedListing(std::deque<std::deque<Step>> dirs, bool endless_failures = false)
      : dirs_(std::move(dirs)), endless_failures_(endless_failures) {}

  Opened open_root(std::string_view) override { return open_next(); }
  Opened open_child(Listing&, const Entry&) override { return open_next(); }
  Read read(Listing& listing, Entry& out) override {
    auto& steps = static_cast<Dir&>(listing).steps;
    if (steps.empty()) return endless_failures_ ? Read::failed_entry : Read::end;
    Step s = steps.front();
    steps.pop_front();
    out.name = s.name;
    out.raw_name = s.raw.empty() ? s.name : s.raw;
    out.kind = s.kind;
    return s.read;
  }
  Result<EntryStat> stat(Listing&, const Entry&) override { return EntryStat{7, 0, 0}; }
  void release(Listing&) override {}
  bool resume(Listing&, Listing&) override { return true; }

 private:
  struct Dir final : Listing {
    std::deque<Step> steps;
  };
  Opened open_next() {
    if (dirs_.empty()) return make_error("no such directory");
    auto steps = std::move(dirs_.front());
    dirs_.pop_front();
    if (!steps.empty() && steps.front().read == Read::error && steps.front().name == "<unopenable>") return make_error("unopenable");
    auto dir = std::make_unique<Dir>();
    dir->steps = std::move(steps);
    return std::unique_ptr<Listing>(std::move(dir));
  }
  std::deque<std::deque<Step>> dirs_;
  bool endless_failures_;
};

using Step = ScriptedListing::Step;
using Read = ListingSource::Read;

std::string describe(DirectoryWalk& walk) {
  if (walk.event() == DirectoryWalk::Event::directory_end) {
    const auto& s = walk.summary();
    return "end " + walk.path() + " d" + std::to_string(walk.depth()) + (s.opened ? " opened" : " unopened") +
           (s.complete ? " complete" : " cut") + " n" + std::to_string(s.entries) + " f" + std::to_string(s.failures);
  }
  return std::to_string(walk.depth()) + " " + walk.path();
}

std::vector<std::string> events(DirectoryWalk& walk) {
  std::vector<std::string> out;
  while (walk.next()) out.push_back(describe(walk));
  return out;
}

std::string sep(std::string a, std::string b) { return join_path(a, b); }

TEST(DirectoryWalkTest, DeliversDepthFirstInListingOrderWithEndsAndSummaries) {
  auto listing = std::make_unique<ScriptedListing>(std::deque<std::deque<Step>>{
      {{Read::entry, "a", EntryKind::directory}, {Read::failed_entry, "x"}, {Read::entry, "f"},
       {Read::entry, "b", EntryKind::directory}, {Read::entry, "l", EntryKind::link}},
      {{Read::entry, "a1"}, {Read::error, ""}, {Read::entry, "never"}},
      {{Read::error, "<unopenable>"}},
  });
  DirectoryWalk walk("R", WalkOptions{.report_directory_ends = true}, std::move(listing));
  std::vector<std::string> expected = {
      "1 " + sep("R", "a"),
      "2 " + sep(sep("R", "a"), "a1"),
      "end " + sep("R", "a") + " d1 opened cut n1 f1",
      "1 " + sep("R", "f"),
      "1 " + sep("R", "b"),
      "end " + sep("R", "b") + " d1 unopened cut n0 f0",
      "1 " + sep("R", "l"),
      "end R d0 opened complete n4 f1",
  };
  EXPECT_EQ(events(walk), expected);
}

TEST(DirectoryWalkTest, SkipAbandonAndMaxDepthStopDescentButKeepEnds) {
  auto script = [] {
    return std::deque<std::deque<Step>>{
        {{Read::entry, "a", EntryKind::directory}, {Read::entry, "b", EntryKind::directory}, {Read::entry, "c"}},
        {{Read::entry, "a1", EntryKind::directory}, {Read::entry, "a2"}},
        {{Read::entry, "deep"}},
        {{Read::entry, "b1"}},
    };
  };
  {
    DirectoryWalk walk("R", WalkOptions{.max_depth = 1}, std::make_unique<ScriptedListing>(script()));
    std::vector<std::string> names;
    while (walk.next()) names.emplace_back(walk.name());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
  }
  {
    DirectoryWalk walk("R", WalkOptions{.report_directory_ends = true}, std::make_unique<ScriptedListing>(script()));
    std::vector<std::string> seen;
    while (walk.next()) {
      seen.push_back(describe(walk));
      if (walk.event() == DirectoryWalk::Event::entry && walk.name() == "a1") walk.abandon(1);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "1 " + sep("R", "a"), "2 " + sep(sep("R", "a"), "a1"),
                        "end " + sep("R", "a") + " d1 opened cut n1 f0",
                        "1 " + sep("R", "b"),
                        // The second script entry was consumed by "a"; "a1" was never opened.
                        "2 " + sep(sep("R", "b"), "deep"), "end " + sep("R", "b") + " d1 opened complete n1 f0",
                        "1 " + sep("R", "c"), "end R d0 opened complete n3 f0"}));
  }
  {
    DirectoryWalk walk("R", {}, std::make_unique<ScriptedListing>(script()));
    std::vector<std::string> names;
    while (walk.next()) {
      names.emplace_back(walk.name());
      if (walk.name() == "a") walk.skip_directory();
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "a1", "deep", "a2", "c"}));
  }
}

TEST(DirectoryWalkTest, RawPathsFollowTheShownPathsThroughDescentEndsAndUnopenableFolders) {
  auto listing = std::make_unique<ScriptedListing>(std::deque<std::deque<Step>>{
      {{Read::entry, "a?", EntryKind::directory, "a\xFF"}, {Read::entry, "u?", EntryKind::directory, "u\xFE"},
       {Read::entry, "f"}},
      {{Read::entry, "b?", EntryKind::directory, "b\xFD"}, {Read::entry, "g?", EntryKind::file, "g\xFC"}},
      {{Read::entry, "h"}},
      {{Read::error, "<unopenable>"}},
  });
  DirectoryWalk walk("R", WalkOptions{.report_directory_ends = true}, std::move(listing));
  std::vector<std::string> seen;
  while (walk.next()) {
    std::string tag = walk.event() == DirectoryWalk::Event::entry ? "" : "end ";
    seen.push_back(tag + walk.path() + " " + std::string(walk.name()) + " | " + walk.raw_path() + " " +
                   std::string(walk.raw_name()));
  }
  auto at = [](std::vector<std::string> parts) {
    std::string out = "R";
    for (const std::string& p : parts) out = join_path(out, p);
    return out;
  };
  EXPECT_EQ(seen, (std::vector<std::string>{
                      at({"a?"}) + " a? | " + at({"a\xFF"}) + " a\xFF",
                      at({"a?", "b?"}) + " b? | " + at({"a\xFF", "b\xFD"}) + " b\xFD",
                      at({"a?", "b?", "h"}) + " h | " + at({"a\xFF", "b\xFD", "h"}) + " h",
                      "end " + at({"a?", "b?"}) + " b? | " + at({"a\xFF", "b\xFD"}) + " b\xFD",
                      at({"a?", "g?"}) + " g? | " + at({"a\xFF", "g\xFC"}) + " g\xFC",
                      "end " + at({"a?"}) + " a? | " + at({"a\xFF"}) + " a\xFF",
                      at({"u?"}) + " u? | " + at({"u\xFE"}) + " u\xFE",
                      "end " + at({"u?"}) + " u? | " + at({"u\xFE"}) + " u\xFE",
                      at({"f"}) + " f | " + at({"f"}) + " f",
                      "end R  | R ",
                  }));
}

TEST(DirectoryWalkTest, AListingThatFailsForeverEndsAndAMissingRootGivesOnlyItsEnd) {
  DirectoryWalk endless("R", WalkOptions{.report_directory_ends = true},
                        std::make_unique<ScriptedListing>(std::deque<std::deque<Step>>{{}}, true));
  EXPECT_EQ(events(endless), (std::vector<std::string>{"end R d0 opened cut n0 f" +
                                                       std::to_string(kMaxConsecutiveFailures)}));

  DirectoryWalk missing("R", WalkOptions{.report_directory_ends = true},
                        std::make_unique<ScriptedListing>(std::deque<std::deque<Step>>{}));
  EXPECT_EQ(events(missing), (std::vector<std::string>{"end R d0 unopened cut n0 f0"}));
  DirectoryWalk quiet("R", {}, std::make_unique<ScriptedListing>(std::deque<std::deque<Step>>{}));
  EXPECT_FALSE(quiet.next());
}

// A tree of directories whose listings count the handles they hold and
// note every call the walk must not make: reading, stat'ing or opening from
// a released listing, resuming through a child that holds no handle or is
// not that listing's child, releasing twice.
class CountingTree : public ListingSource {
 public:
  struct Node {
    std::string name;
    EntryKind kind = EntryKind::file;
    std::uint64_t size = 0;
    int dir = -1;  // the directory's index, for kind directory
  };
  std::vector<std::vector<Node>> dirs;  // dirs[0] is the root
  std::set<int> unresumable;            // resume() fails for these
  int fails_forever = -1;               // after its entries, this listing fails every read
  std::size_t held = 0, most_held = 0, releases = 0, resumes = 0, failed_reads = 0;
  std::vector<std::string> violations;

  Opened open_root(std::string_view) override { return open(0, -1); }
  Opened open_child(Listing& parent, const Entry& entry) override {
    Dir& p = checked(parent, "open_child");
    const Node* node = find(p.index, entry.raw_name);
    if (node == nullptr || node->kind != EntryKind::directory) {
      violations.push_back("open_child of " + entry.raw_name);
      return make_error("not a directory");
    }
    return open(node->dir, p.index);
  }
  Read read(Listing& listing, Entry& out) override {
    Dir& d = checked(listing, "read");
    const auto& nodes = dirs[static_cast<std::size_t>(d.index)];
    if (d.next < nodes.size()) {
      const Node& n = nodes[d.next++];
      out.name = out.raw_name = n.name;
      out.kind = n.kind;
      return Read::entry;
    }
    // Bounded, so that a walk that keeps reading fails instead of hanging.
    if (d.index == fails_forever && failed_reads < 100'000) {
      ++failed_reads;
      return Read::failed_entry;
    }
    return Read::end;
  }
  Result<EntryStat> stat(Listing& listing, const Entry& entry) override {
    const Node* node = find(checked(listing, "stat").index, entry.raw_name);
    if (node == nullptr) return make_error("no such entry");
    return EntryStat{node->size, 0, 0};
  }
  void release(Listing& listing) override {
    Dir& d = checked(listing, "release");
    d.held = false;
    --held;
    ++releases;
  }
  bool resume(Listing& listing, Listing& child) override {
    Dir& d = static_cast<Dir&>(listing);
    Dir& c = static_cast<Dir&>(child);
    if (d.held || !c.held || c.parent != d.index) violations.push_back("resume " + std::to_string(d.index));
    ++resumes;
    if (unresumable.contains(d.index)) return false;
    d.held = true;
    most_held = std::max(most_held, ++held);
    return true;
  }

  // `levels` directories in a chain below the root, each holding files "a"
  // before the next directory and "b", "c" after it; file sizes tell level
  // and name apart.
  static std::unique_ptr<CountingTree> chain(int levels) {
    auto tree = std::make_unique<CountingTree>();
    for (int i = 0; i <= levels; ++i) {
      std::uint64_t base = static_cast<std::uint64_t>(i) * 10;
      std::vector<Node> nodes{{"a", EntryKind::file, base + 1}};
      if (i < levels) nodes.push_back({"d" + std::to_string(i + 1), EntryKind::directory, 0, i + 1});
      nodes.push_back({"b", EntryKind::file, base + 2});
      nodes.push_back({"c", EntryKind::file, base + 3});
      tree->dirs.push_back(std::move(nodes));
    }
    return tree;
  }

 private:
  struct Dir final : Listing {
    CountingTree* tree = nullptr;
    int index = 0, parent = -1;
    std::size_t next = 0;
    bool held = true;
    ~Dir() override {
      if (held) --tree->held;
    }
  };
  std::unique_ptr<Listing> open(int index, int parent) {
    auto d = std::make_unique<Dir>();
    d->tree = this;
    d->index = index;
    d->parent = parent;
    most_held = std::max(most_held, ++held);
    return d;
  }
  Dir& checked(Listing& listing, const char* call) {
    Dir& d = static_cast<Dir&>(listing);
    if (!d.held) violations.push_back(std::string(call) + " on released " + std::to_string(d.index));
    return d;
  }
  const Node* find(int dir, const std::string& name) const {
    for (const Node& n : dirs[static_cast<std::size_t>(dir)]) {
      if (n.name == name) return &n;
    }
    return nullptr;
  }
};

// Lends the walk a source the test keeps, so that the source's counts can be
// read after the walk (which destroys what it owns) has ended.
class LentSource final : public ListingSource {
 public:
  explicit LentSource(ListingSource& inner) : inner_(inner) {}
  Opened open_root(std::string_view root) override { return inner_.open_root(root); }
  Opened open_child(Listing& parent, const Entry& entry) override { return inner_.open_child(parent, entry); }
  Read read(Listing& listing, Entry& out) override { return inner_.read(listing, out); }
  Result<EntryStat> stat(Listing& listing, const Entry& entry) override { return inner_.stat(listing, entry); }
  void release(Listing& listing) override { inner_.release(listing); }
  bool resume(Listing& listing, Listing& child) override { return inner_.resume(listing, child); }

 private:
  ListingSource& inner_;
};

// The walk of CountingTree::chain(levels), as events with file sizes; the
// directories listed in `lost` (by level) end early, losing "b" and "c".
std::vector<std::string> expected_chain(int levels, const std::set<int>& lost = {}) {
  std::vector<std::string> out;
  std::string path = "R";
  std::vector<std::string> paths;
  for (int i = 0; i <= levels; ++i) {
    paths.push_back(path);
    out.push_back(std::to_string(i + 1) + " " + join_path(path, "a") + " =" + std::to_string(i * 10 + 1));
    if (i < levels) {
      path = join_path(path, "d" + std::to_string(i + 1));
      out.push_back(std::to_string(i + 1) + " " + path);
    }
  }
  for (int i = levels; i >= 0; --i) {
    bool cut = lost.contains(i);
    if (!cut) {
      for (int k : {2, 3}) {
        out.push_back(std::to_string(i + 1) + " " + join_path(paths[static_cast<std::size_t>(i)], k == 2 ? "b" : "c") +
                      " =" + std::to_string(i * 10 + k));
      }
    }
    std::string entries = std::to_string(i < levels ? (cut ? 2 : 4) : 3);
    out.push_back("end " + paths[static_cast<std::size_t>(i)] + " d" + std::to_string(i) + " opened" +
                  (cut ? " cut n" + entries + " f1" : " complete n" + entries + " f0"));
  }
  return out;
}

std::vector<std::string> events_with_sizes(DirectoryWalk& walk) {
  std::vector<std::string> out;
  while (walk.next()) {
    std::string line = describe(walk);
    if (walk.event() == DirectoryWalk::Event::entry && walk.kind() == EntryKind::file) {
      Result<EntryStat> st = walk.stat();
      line += st.ok() ? " =" + std::to_string(st->size) : " !" + st.error();
    }
    out.push_back(line);
  }
  return out;
}

// No warmers: a slow run (sanitizers, a loaded machine) would start them,
// and their handles would change the counts these tests hold the walk to.
const WalkOptions kBudgetOnly{.report_directory_ends = true, .warm_ahead = WarmAhead::off};

TEST(ListingBudgetTest, DeepWalksHoldAtMostTheBudgetAndResumeEachListingWhereItWas) {
  constexpr int kLevels = 130;
  auto owned = CountingTree::chain(kLevels);
  CountingTree& tree = *owned;
  {
    DirectoryWalk walk("R", kBudgetOnly, std::make_unique<LentSource>(tree));
    EXPECT_EQ(events_with_sizes(walk), expected_chain(kLevels));
  }
  EXPECT_EQ(tree.violations, std::vector<std::string>{});
  // Never one more, not even for a moment: the oldest lets go before a new
  // listing opens.
  EXPECT_EQ(tree.most_held, kMaxOpenListings);
  // Every level beyond the budget released its oldest ancestor, and every
  // released one was resumed on the way back.
  EXPECT_EQ(tree.releases, kLevels + 1 - kMaxOpenListings);
  EXPECT_EQ(tree.resumes, tree.releases);
  EXPECT_EQ(tree.held, 0u);
}

TEST(ListingBudgetTest, AListingThatCannotBeResumedLosesItsRestAndSoDoTheReleasedOnesAboveIt) {
  constexpr int kLevels = 100;
  auto owned = CountingTree::chain(kLevels);
  CountingTree& tree = *owned;
  tree.unresumable = {20};
  std::set<int> lost;
  for (int i = 0; i <= 20; ++i) lost.insert(i);
  {
    DirectoryWalk walk("R", kBudgetOnly, std::make_unique<LentSource>(tree));
    EXPECT_EQ(events_with_sizes(walk), expected_chain(kLevels, lost));
  }
  EXPECT_EQ(tree.violations, std::vector<std::string>{});
  EXPECT_EQ(tree.held, 0u);
  // Level 20's resume failed; its released ancestors cannot go back through
  // it, and the walk does not ask them to.
  EXPECT_EQ(tree.resumes, static_cast<std::size_t>(kLevels + 1 - static_cast<int>(kMaxOpenListings) - 20));
}

TEST(ListingBudgetTest, ARunOfFailuresIsDrainedOnlyAsFarAsTheWalkWouldReadIt) {
  auto owned = CountingTree::chain(60);
  CountingTree& tree = *owned;
  tree.fails_forever = 0;
  std::vector<std::string> seen;
  {
    DirectoryWalk walk("R", kBudgetOnly, std::make_unique<LentSource>(tree));
    seen = events(walk);
  }
  EXPECT_EQ(tree.violations, std::vector<std::string>{});
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), "end R d0 opened cut n4 f" + std::to_string(kMaxConsecutiveFailures));
  EXPECT_EQ(tree.failed_reads, kMaxConsecutiveFailures);
}

TEST(EntryKindTest, LinkRuleFromAttributesAndModes) {
  EXPECT_EQ(kind_from_attributes(0x20, 0), EntryKind::file);
  EXPECT_EQ(kind_from_attributes(0x10, 0), EntryKind::directory);
  EXPECT_EQ(kind_from_attributes(0x10 | 0x400, 0xA000000C), EntryKind::link);  // directory symlink
  EXPECT_EQ(kind_from_attributes(0x10 | 0x400, 0xA0000003), EntryKind::link);  // junction
  EXPECT_EQ(kind_from_attributes(0x20 | 0x400, 0xA000000C), EntryKind::link);  // file symlink
  EXPECT_EQ(kind_from_attributes(0x10 | 0x400, 0x9000001A), EntryKind::directory);  // cloud placeholder
  EXPECT_EQ(kind_from_attributes(0x20 | 0x400, 0x80000017), EntryKind::file);       // WOF-compressed file
  EXPECT_EQ(kind_from_attributes(0x20, 0x20000000), EntryKind::file);  // tag without the reparse bit

  EXPECT_EQ(kind_from_mode(0100644, false), EntryKind::file);
  EXPECT_EQ(kind_from_mode(0040755, false), EntryKind::directory);
  EXPECT_EQ(kind_from_mode(0040755, true), EntryKind::link);
  EXPECT_EQ(kind_from_mode(0120777, false), EntryKind::link);
  for (std::uint32_t special : {0010644u, 0140755u, 0020644u, 0060644u}) {
    EXPECT_EQ(kind_from_mode(special, false), EntryKind::special) << special;
  }
}

TEST(EntryKindTest, FiletimeFromUnixRoundsDownAndSaturates) {
  EXPECT_EQ(filetime_from_unix(0, 0), 116444736000000000);
  EXPECT_EQ(filetime_from_unix(1, 999'999'999), 116444736000000000 + 19'999'999);
  EXPECT_EQ(filetime_from_unix(-1, 500'000'000), 116444736000000000 - 5'000'000);
  EXPECT_EQ(filetime_from_unix(0, -1), 116444736000000000 - 1);  // -1 ns rounds down to -1 tick
  EXPECT_EQ(filetime_from_unix(std::numeric_limits<std::int64_t>::max(), 0), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(filetime_from_unix(std::numeric_limits<std::int64_t>::min(), 0), std::numeric_limits<std::int64_t>::min());
}

class RealWalkTest : public ::testing::TestWithParam<corvane::testing::ListingUnderTest> {
 protected:
  std::unique_ptr<ListingSource> listing() const { return GetParam().make(); }
  corvane::testing::WarmAheadFor warm_{GetParam()};
  ScratchDir scratch;
};

INSTANTIATE_TEST_SUITE_P(Listings, RealWalkTest, ::testing::ValuesIn(corvane::testing::listings_under_test()),
                         corvane::testing::listing_test_name);

TEST_P(RealWalkTest, WalksRealTreeDepthFirstWithSizesAndHiddenFiles) {
  scratch.file("top.txt", 5);
  scratch.file(".hidden", 3);
  scratch.file("sub/inner/deep.bin", 11);
  scratch.file("sub/zero");
  scratch.dir("empty");
  auto before = scratch.snapshot();

  DirectoryWalk walk(scratch.text(), WalkOptions{.report_directory_ends = true}, listing());
  std::vector<std::string> order;
  std::map<std::string, std::uint64_t> sizes;
  while (walk.next()) {
    if (walk.event() == DirectoryWalk::Event::directory_end) {
      order.push_back("end:" + std::string(walk.name()));
      continue;
    }
    order.emplace_back(walk.name());
    ASSERT_GT(walk.path().size(), walk.name().size());
    EXPECT_TRUE(walk.path().ends_with(walk.name()));
    EXPECT_EQ(walk.path()[walk.path().size() - walk.name().size() - 1], kPathSeparator);
    if (walk.kind() == EntryKind::file) sizes[std::string(walk.name())] = walk.stat()->size;
  }
  EXPECT_EQ(sizes, (std::map<std::string, std::uint64_t>{{"top.txt", 5}, {".hidden", 3}, {"deep.bin", 11}, {"zero", 0}}));
  // Depth first: a directory's entries and its end follow it directly.
  auto at = [&](const std::string& n) { return std::find(order.begin(), order.end(), n) - order.begin(); };
  EXPECT_EQ(at("end:inner"), at("deep.bin") + 1);
  EXPECT_EQ(at("end:empty"), at("empty") + 1);
  EXPECT_LT(at("sub"), at("inner"));
  EXPECT_LT(at("end:sub"), static_cast<long>(order.size()) - 1);
  EXPECT_EQ(order.back(), "end:");  // the root's own end carries no name
  EXPECT_EQ(scratch.snapshot(), before);
}

TEST_P(RealWalkTest, RootThatIsAFileOrMissingListsNothing) {
  auto file = scratch.file("plain.txt", 4);
  for (std::string root : {ScratchDir::path_text(file), scratch.text("missing")}) {
    DirectoryWalk walk(root, WalkOptions{.report_directory_ends = true}, listing());
    ASSERT_TRUE(walk.next());
    EXPECT_EQ(walk.event(), DirectoryWalk::Event::directory_end);
    EXPECT_FALSE(walk.summary().opened) << root;
    EXPECT_FALSE(walk.next());
  }
}

// Deeper than the open-listing limit and than MAX_PATH, with entries left in
// every outer listing, so outer listings are set aside and picked up again.
TEST_P(RealWalkTest, DeepChainsWithSiblingsAreWalkedCompletely) {
  constexpr int kDepth = 130;
  std::string relative;
  std::set<std::string> expected;
  for (int i = 0; i < kDepth; ++i) {
    relative += (i ? "/" : "") + std::string("level") + std::to_string(i);
    for (const char* sibling : {"a.txt", "z.txt"}) expected.insert(relative + "/" + sibling);
  }
  // Windows needs the verbatim form to create paths past MAX_PATH.
  std::error_code ec;
  std::filesystem::path current = scratch.root();
  if (kPathSeparator == '\\') current = std::filesystem::path("\\\\?\\" + scratch.text());
  for (int i = 0; i < kDepth; ++i) {
    current /= "level" + std::to_string(i);
    std::filesystem::create_directory(current, ec);
    if (ec) GTEST_SKIP() << "cannot build a path this long here: " << ec.message();
    std::ofstream(current / "a.txt", std::ios::binary) << "x";
    std::ofstream(current / "z.txt", std::ios::binary) << "x";
  }
  std::set<std::string> found;
  std::size_t root_length = scratch.text().size() + 1;
  DirectoryWalk walk(scratch.text(), {}, listing());
  while (walk.next()) {
    if (walk.kind() != EntryKind::file) continue;
    std::string rel = walk.path().substr(root_length);
    for (char& c : rel) if (c == kPathSeparator) c = '/';
    found.insert(rel);
    EXPECT_EQ(walk.stat()->size, 1u);
  }
  EXPECT_EQ(found, expected);
}

// A random tree of folders and files against an independent model
// (std::filesystem): every entry once, with its kind and size, each
// folder's entries right after it and before its end event.
TEST_P(RealWalkTest, RandomTreesMatchAnIndependentModelInContentAndNesting) {
  std::mt19937 random(20240512);
  for (int round = 0; round < 3; ++round) {
    ScratchDir tree;
    std::vector<std::string> folders{""};
    for (int i = 0; i < 120; ++i) {
      std::string parent = folders[random() % folders.size()];
      std::string name = (parent.empty() ? "" : parent + "/") + "n" + std::to_string(i);
      if (random() % 3 == 0) {
        tree.dir(name);
        folders.push_back(name);
      } else {
        tree.file(name, random() % 40);
      }
    }
    std::map<std::string, std::string> model;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(tree.root(), ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::string rel = ScratchDir::path_text(it->path().lexically_relative(tree.root()).generic_string());
      model[rel] = it->is_directory() ? "dir" : "file " + std::to_string(it->file_size());
    }

    std::map<std::string, std::string> walked;
    std::vector<std::string> open{""};  // folders whose end has not come yet
    std::size_t root_length = tree.text().size() + 1;
    DirectoryWalk walk(tree.text(), WalkOptions{.report_directory_ends = true}, listing());
    while (walk.next()) {
      std::string rel = walk.path().size() > root_length ? walk.path().substr(root_length) : "";
      for (char& c : rel) if (c == kPathSeparator) c = '/';
      if (walk.event() == DirectoryWalk::Event::directory_end) {
        ASSERT_EQ(open.back(), rel);
        EXPECT_TRUE(walk.summary().complete) << rel;
        open.pop_back();
        continue;
      }
      std::string parent = rel.find('/') == std::string::npos ? "" : rel.substr(0, rel.rfind('/'));
      ASSERT_EQ(open.back(), parent) << rel << " came outside its folder";
      EXPECT_TRUE(walked.emplace(rel, walk.kind() == EntryKind::directory
                                          ? "dir"
                                          : "file " + std::to_string(walk.stat()->size))
                      .second)
          << rel << " twice";
      if (walk.kind() == EntryKind::directory) open.push_back(rel);
    }
    EXPECT_TRUE(open.empty());
    EXPECT_EQ(walked, model);
  }
}


// Walkers reading ahead change no event: random trees (with a chain deeper
// and longer than they read, and a link), walked alone and with 2, 5 and 16
// walkers by a caller that skips and abandons folders and stats files by
// the same rules each time, give the same transcript.
TEST_P(RealWalkTest, WalkersGiveTheEventsOfAWalkAlone) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 4; ++round) {
    ScratchDir tree;
    std::vector<std::string> folders{""};
    for (int i = 0; i < 300; ++i) {
      std::string parent = folders[random() % folders.size()];
      std::string name = (parent.empty() ? "" : parent + "/") + (random() % 5 == 0 ? "skip" : "n") + std::to_string(i);
      if (random() % 3 == 0) {
        tree.dir(name);
        folders.push_back(name);
      } else {
        tree.file(name, random() % 40);
      }
    }
    std::string chain = "deep";
    for (int i = 0; i < 70; ++i) chain += "/" + std::string(i % 10 == 0 ? 40 : 1, static_cast<char>('a' + i % 26));
    if (round == 0) tree.file(chain + "/end", 3);
    std::error_code ec;
    std::filesystem::create_directory_symlink(tree.root() / "n0", tree.root() / "link", ec);

    auto transcript = [&](std::size_t walkers) {
      WalkOptions options{.report_directory_ends = true, .walkers = walkers};
      options.scope = [](std::string_view path, std::size_t) { return path.find("skip1") == std::string_view::npos; };
      options.stats_for = [](std::string_view name) { return name.back() != '7'; };
      DirectoryWalk walk(tree.text(), options, listing());
      std::vector<std::string> out;
      while (walk.next()) {
        std::string line = std::to_string(walk.depth()) + " " + walk.path() + " " + walk.raw_path();
        if (walk.event() == DirectoryWalk::Event::directory_end) {
          const ListingSummary& s = walk.summary();
          line += " end " + std::to_string(s.opened) + std::to_string(s.complete) + " " + std::to_string(s.entries);
        } else if (walk.kind() == EntryKind::file) {
          Result<EntryStat> stat = walk.stat();
          line += " file " + (stat.ok() ? std::to_string(stat->size) : std::string("-"));
        } else if (walk.kind() == EntryKind::directory) {
          std::size_t hash = std::hash<std::string>{}(walk.path().substr(tree.text().size()));
          if (!walk.in_scope() || hash % 11 == 0) walk.skip_directory();
          if (hash % 23 == 0 && walk.depth() > 2) walk.abandon(walk.depth() - 1);
          line += " dir";
        }
        out.push_back(std::move(line));
      }
      return out;
    };
    std::vector<std::string> alone = transcript(1);
    ASSERT_GT(alone.size(), 100u);
    for (std::size_t walkers : {2, 5, 16}) EXPECT_EQ(transcript(walkers), alone) << walkers << " walkers";
  }
}

}  // namespace
}  // namespace corvane::platform
