#include "platform/dir_walk.h"

#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <string>
#include <vector>

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

  Status open_root(std::string_view) override { return open_next(); }
  Status open_child() override { return open_next(); }
  Read read(Entry& out) override {
    auto& steps = open_.back();
    if (steps.empty()) return endless_failures_ ? Read::failed_entry : Read::end;
    Step s = steps.front();
    steps.pop_front();
    out.name = s.name;
    out.raw_name = s.raw.empty() ? s.name : s.raw;
    out.kind = s.kind;
    return s.read;
  }
  Result<EntryStat> stat() override { return EntryStat{7, 0, 0}; }
  void close() override { open_.pop_back(); }

 private:
  Status open_next() {
    if (dirs_.empty()) return make_error("no listing scripted");
    auto steps = std::move(dirs_.front());
    dirs_.pop_front();
    if (!steps.empty() && steps.front().read == Read::error && steps.front().name == "<unopenable>") {
      return make_error("unopenable");
    }
    open_.push_back(std::move(steps));
    return ok_status();
  }
  std::deque<std::deque<Step>> dirs_;
  std::vector<std::deque<Step>> open_;
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

class RealWalkTest : public ::testing::Test {
 protected:
  ScratchDir scratch;
};

TEST_F(RealWalkTest, WalksRealTreeDepthFirstWithSizesAndHiddenFiles) {
  scratch.file("top.txt", 5);
  scratch.file(".hidden", 3);
  scratch.file("sub/inner/deep.bin", 11);
  scratch.file("sub/zero");
  scratch.dir("empty");
  auto before = scratch.snapshot();

  DirectoryWalk walk(scratch.text(), WalkOptions{.report_directory_ends = true});
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

TEST_F(RealWalkTest, RootThatIsAFileOrMissingListsNothing) {
  auto file = scratch.file("plain.txt", 4);
  for (std::string root : {ScratchDir::path_text(file), scratch.text("missing")}) {
    DirectoryWalk walk(root, WalkOptions{.report_directory_ends = true});
    ASSERT_TRUE(walk.next());
    EXPECT_EQ(walk.event(), DirectoryWalk::Event::directory_end);
    EXPECT_FALSE(walk.summary().opened) << root;
    EXPECT_FALSE(walk.next());
  }
}

// Deeper than the open-listing limit and than MAX_PATH, with entries left in
// every outer listing, so outer listings are set aside and picked up again.
TEST_F(RealWalkTest, DeepChainsWithSiblingsAreWalkedCompletely) {
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
  DirectoryWalk walk(scratch.text());
  while (walk.next()) {
    if (walk.kind() != EntryKind::file) continue;
    std::string rel = walk.path().substr(root_length);
    for (char& c : rel) if (c == kPathSeparator) c = '/';
    found.insert(rel);
    EXPECT_EQ(walk.stat()->size, 1u);
  }
  EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace corvane::platform
