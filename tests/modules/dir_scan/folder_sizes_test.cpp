#include "modules/dir_scan/folder_sizes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modules/dir_scan/records.h"

namespace corvane::dir_scan {
namespace {

using platform::EntryKind;
using platform::EntryStat;
using platform::Listing;
using platform::ListingSource;

// What no real disk here can show: link entries from a listing (Windows
// reparse points), entries whose data is not on the disk, failed entries and
// files whose metadata cannot be read, and a folder with thousands of
// subfolders, given as listing data.
struct FakeNode {
  std::string name;
  EntryKind kind = EntryKind::file;
  std::uint64_t size = 0;
  std::vector<FakeNode> children = {};
  bool not_local = false;  // a folder whose listing is refused
  bool failed = false;     // the listing reports this entry as failed
  bool no_stat = false;    // a file whose metadata cannot be read
};

const FakeNode* g_tree = nullptr;

class FakeListing final : public ListingSource {
  struct Dir final : Listing {
    const FakeNode* node;
    std::size_t next = 0;
    explicit Dir(const FakeNode* n) : node(n) {}
  };
  static const FakeNode& node_of(Listing& l, const Entry& e) {
    for (const FakeNode& c : static_cast<Dir&>(l).node->children) {
      if (c.name == e.raw_name) return c;
    }
    return *g_tree;
  }

 public:
  static std::unique_ptr<ListingSource> make() { return std::make_unique<FakeListing>(); }
  Opened open_root(std::string_view) override { return std::unique_ptr<Listing>(new Dir(g_tree)); }
  Opened open_child(Listing& parent, const Entry& entry) override {
    const FakeNode& n = node_of(parent, entry);
    if (n.not_local) return make_error("offline");
    return std::unique_ptr<Listing>(new Dir(&n));
  }
  Read read(Listing& listing, Entry& out) override {
    Dir& d = static_cast<Dir&>(listing);
    if (d.next == d.node->children.size()) return Read::end;
    const FakeNode& n = d.node->children[d.next++];
    if (n.failed) return Read::failed_entry;
    out.name = out.raw_name = n.name;
    out.kind = n.kind;
    out.data_not_local = n.not_local;
    return Read::entry;
  }
  Result<EntryStat> stat(Listing& listing, const Entry& entry) override {
    const FakeNode& n = node_of(listing, entry);
    if (n.no_stat) return make_error("gone");
    // Allocation in 4 KiB clusters; the last write is 1970 + size seconds.
    return EntryStat{n.size, 116'444'736'000'000'000 + static_cast<std::int64_t>(n.size) * 10'000'000, 0,
                     (n.size + 4095) / 4096 * 4096};
  }
  void release(Listing&) override {}
  bool resume(Listing&, Listing&) override { return true; }
};

TEST(FolderSizesTest, ListingDataTheDiskCannotShowAndAWideFolderKeepingItsLargest) {
  FakeNode wide{"wide", EntryKind::directory};
  for (int i = 0; i < 5000; ++i) {
    wide.children.push_back({"s" + std::to_string(i), EntryKind::directory, 0, {{"f", EntryKind::file,
                             static_cast<std::uint64_t>(i % 97)}}});
  }
  FakeNode root{"", EntryKind::directory, 0,
                {{"a.TXT", EntryKind::file, 10},
                 {"link", EntryKind::link, 999},
                 {"pipe", EntryKind::special, 999},
                 {"broken", EntryKind::file, 999, {}, false, true},
                 {"vanished.txt", EntryKind::file, 999, {}, false, false, true},
                 {"cloud", EntryKind::directory, 0, {{"big", EntryKind::file, 999}}, true},
                 wide}};
  g_tree = &root;
  FolderSizesOptions options{.depth = 1, .top_n = 3};
  options.listing = FakeListing::make;
  FolderSizes got = scan_folder_sizes("R", options);

  std::uint64_t wide_size = 0, wide_allocated = 0;
  for (int i = 0; i < 5000; ++i) {
    wide_size += static_cast<std::uint64_t>(i % 97);
    wide_allocated += i % 97 == 0 ? 0 : 4096;
  }
  EXPECT_EQ(got.root.size, 10 + wide_size);
  EXPECT_EQ(got.root.allocated_size, 4096 + wide_allocated);
  EXPECT_EQ(got.root.file_count, 1 + 5000u);
  EXPECT_EQ(got.root.folder_count, 2 + 5000u);
  EXPECT_EQ(got.root.files_size, 10u);
  EXPECT_EQ(got.unreadable_count, 1u);  // the folder whose data is not on the disk
  ASSERT_EQ(got.root.folders.size(), 2u);
  EXPECT_EQ(got.root.folders[0].name, "wide");
  EXPECT_FALSE(got.root.folders[0].shows_folders);
  EXPECT_EQ(got.root.folders[0].modified, 96);
  EXPECT_EQ(got.root.folders[1].name, "cloud");
  EXPECT_EQ(got.root.folders[1].size, 0u);
  EXPECT_EQ(got.root.omitted_count, 0u);

  // One level deeper: of the 5000, the three of size 96 that come first by name.
  options.depth = 2;
  got = scan_folder_sizes("R", options);
  const FolderNode& shown = got.root.folders[0];
  ASSERT_EQ(shown.folders.size(), 3u);
  std::vector<std::string> names;
  for (const FolderNode& f : shown.folders) names.push_back(f.name);
  // s96, s193, ..., s1066, s1163, s1260, ...: by name bytes those three come first.
  EXPECT_EQ(names, (std::vector<std::string>{"s1066", "s1163", "s1260"}));
  EXPECT_EQ(shown.omitted_count, 4997u);
  EXPECT_EQ(shown.omitted_size, wide_size - 3 * 96);
  EXPECT_EQ(shown.folders[0].path, "R/wide/s1066");
  ASSERT_EQ(got.extensions.size(), 2u);
  EXPECT_FALSE(got.extensions[0].extension.has_value());  // "f", the larger total
  EXPECT_EQ(*got.extensions[1].extension, "txt");
}

}  // namespace
}  // namespace corvane::dir_scan
