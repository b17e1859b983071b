#include "modules/disk_info/volume_listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace corvane::disk_info {
namespace {

struct FakeVolume {
  std::u16string guid{};
  std::vector<std::u16string> paths{};
  std::uint32_t drive_type = kDriveFixed;
  std::u16string label{};
  std::u16string file_system = u"NTFS";
  bool information_ok = true;
  bool space_ok = true;
  std::uint64_t total = 0;
  std::uint64_t free = 0;
  int short_buffer_rounds = 0;  // how many calls answer "more data" first
  bool path_names_broken = false;
};

// A machine's volumes as the seven functions would present them, keeping
// note of how it was asked.
class FakeVolumeApi final : public VolumeApi {
 public:
  explicit FakeVolumeApi(std::vector<FakeVolume> volumes) : volumes_(std::move(volumes)) {}

  FindHandle find_first_volume(char16_t* name, std::uint32_t length) override {
    name_lengths.push_back(length);
    if (volumes_.empty() || enumeration_fails) return nullptr;
    next_ = 0;
    return write_next(name, length) ? this : nullptr;
  }
  bool find_next_volume(FindHandle, char16_t* name, std::uint32_t length) override {
    name_lengths.push_back(length);
    return write_next(name, length);
  }
  void find_volume_close(FindHandle find) override {
    EXPECT_EQ(find, this);
    ++closes;
  }
  PathNamesCall get_volume_path_names(const char16_t* volume, char16_t* buffer, std::uint32_t length) override {
    FakeVolume& v = find(volume);
    path_name_lengths[v.guid].push_back(length);
    EXPECT_TRUE(std::all_of(buffer, buffer + length, [](char16_t c) { return c == 0; })) << "reused buffer";
    if (v.path_names_broken) return {};
    std::u16string list;
    for (const auto& path : v.paths) list += path + u'\0';
    list += u'\0';
    if (v.short_buffer_rounds > 0 || list.size() > length) {
      --v.short_buffer_rounds;
      return {false, true, static_cast<std::uint32_t>(list.size())};
    }
    std::copy(list.begin(), list.end(), buffer);
    return {true, false, 0};
  }
  std::uint32_t get_drive_type(const char16_t* root) override { return find(root).drive_type; }
  bool get_volume_information(const char16_t* root, char16_t* label, std::uint32_t label_length,
                              char16_t* file_system, std::uint32_t file_system_length) override {
    EXPECT_EQ(label_length, 261u);
    EXPECT_EQ(file_system_length, 32u);
    FakeVolume& v = find(root);
    std::copy(v.label.begin(), v.label.end(), label);
    std::copy(v.file_system.begin(), v.file_system.end(), file_system);
    return v.information_ok;
  }
  bool get_disk_free_space(const char16_t* path, std::uint64_t* total, std::uint64_t* total_free) override {
    for (FakeVolume& v : volumes_) {
      if (std::find(v.paths.begin(), v.paths.end(), std::u16string(path)) != v.paths.end() && v.space_ok) {
        *total = v.total;
        *total_free = v.free;
        return true;
      }
    }
    return false;
  }

  bool enumeration_fails = false;
  int closes = 0;
  std::vector<std::uint32_t> name_lengths;
  std::map<std::u16string, std::vector<std::uint32_t>> path_name_lengths;

 private:
  bool write_next(char16_t* name, std::uint32_t length) {
    if (next_ >= volumes_.size()) return false;
    const std::u16string& guid = volumes_[next_++].guid;
    EXPECT_LT(guid.size(), length);
    std::copy(guid.begin(), guid.end(), name);
    return true;
  }
  FakeVolume& find(const char16_t* guid) {
    for (FakeVolume& v : volumes_) {
      if (v.guid == guid) return v;
    }
    ADD_FAILURE() << "asked about a volume it was never given";
    return volumes_.front();
  }

  std::vector<FakeVolume> volumes_;
  std::size_t next_ = 0;
};

std::u16string guid(char letter) {
  return u"\\\\?\\Volume{0000000" + std::u16string(1, static_cast<char16_t>(letter)) + u"-0000-0000-0000-000000000000}\\";
}

TEST(VolumeListingTest, ListsFixedAndRemovableVolumesOncePerMountPathInEnumerationOrder) {
  FakeVolumeApi api({
      {.guid = guid('a'), .paths = {u"C:\\"}, .label = u"Windows", .total = 1000, .free = 250},
      {.guid = guid('b'), .paths = {}, .label = u"Recovery"},
      {.guid = guid('c'), .paths = {u"D:\\"}, .drive_type = 5, .file_system = u"UDF"},
      {.guid = guid('d'), .paths = {u"E:\\", u"C:\\Mount\\Photos\\"}, .file_system = u"exFAT", .total = 64, .free = 64},
      {.guid = guid('e'), .paths = {u"F:\\"}, .drive_type = kDriveRemovable, .file_system = u"FAT32", .total = 100, .free = 10},
      {.guid = guid('f'), .paths = {u"G:\\"}, .drive_type = 4},
      {.guid = guid('g'), .paths = {u"R:\\"}, .drive_type = 6},
      {.guid = guid('h'), .paths = {u"U:\\"}, .drive_type = 0},
      {.guid = guid('i'), .paths = {u"V:\\"}, .drive_type = 1},
      {.guid = guid('j'), .paths = {u"W:\\"}, .information_ok = false},
      {.guid = guid('k'), .paths = {u"X:\\"}, .space_ok = false, .total = 9, .free = 9},
  });
  std::vector<VolumeRecord> records = list_volumes(api);
  ASSERT_EQ(records.size(), 5u);

  EXPECT_EQ(records[0].mount_point, "C:\\");
  EXPECT_EQ(records[0].name, "Windows");
  EXPECT_EQ(records[0].file_system, "NTFS");
  EXPECT_EQ(records[0].total_bytes, 1000u);
  EXPECT_EQ(records[0].available_bytes, 250u);
  EXPECT_EQ(records[0].used_bytes, 750u);
  EXPECT_DOUBLE_EQ(records[0].usage_ratio, 0.75);
  EXPECT_FALSE(records[0].is_removable);

  // One volume, two mount paths: two records sharing label, file system and sizes.
  EXPECT_EQ(records[1].mount_point, "E:\\");
  EXPECT_EQ(records[2].mount_point, "C:\\Mount\\Photos\\");
  EXPECT_EQ(records[2].file_system, "exFAT");
  EXPECT_EQ(records[2].name, "");
  EXPECT_EQ(records[2].used_bytes, 0u);
  EXPECT_EQ(records[2].usage_ratio, 0.0);

  EXPECT_EQ(records[3].mount_point, "F:\\");
  EXPECT_TRUE(records[3].is_removable);

  // A failed free-space query reports zeros, not stale values.
  EXPECT_EQ(records[4].mount_point, "X:\\");
  EXPECT_EQ(records[4].total_bytes, 0u);
  EXPECT_EQ(records[4].available_bytes, 0u);
  EXPECT_EQ(records[4].used_bytes, 0u);
  EXPECT_EQ(records[4].usage_ratio, 0.0);

  EXPECT_EQ(api.closes, 1);
  EXPECT_TRUE(std::all_of(api.name_lengths.begin(), api.name_lengths.end(), [](auto n) { return n == 261; }));
}

TEST(VolumeListingTest, RetriesPathNamesWithAFreshBufferOfTheReportedLengthAtMostTenTimes) {
  std::vector<std::u16string> many;
  for (int i = 0; i < 30; ++i) many.push_back(u"C:\\Mounts\\Folder number " + std::u16string(1, u'A' + i) + u"\\");
  FakeVolumeApi api({
      {.guid = guid('a'), .paths = many, .total = 10, .free = 5},
      {.guid = guid('b'), .paths = {u"D:\\"}, .short_buffer_rounds = 9},
      {.guid = guid('c'), .paths = {u"E:\\"}, .short_buffer_rounds = 10},
      {.guid = guid('d'), .paths = {u"F:\\"}, .path_names_broken = true},
  });
  std::vector<VolumeRecord> records = list_volumes(api);

  ASSERT_EQ(records.size(), 31u);
  EXPECT_EQ(records[29].mount_point, "C:\\Mounts\\Folder number ^\\");
  EXPECT_EQ(records[30].mount_point, "D:\\");
  std::uint32_t needed = api.path_name_lengths[guid('a')].back();
  EXPECT_EQ(api.path_name_lengths[guid('a')], (std::vector<std::uint32_t>{260, needed}));
  EXPECT_GT(needed, 260u);
  EXPECT_EQ(api.path_name_lengths[guid('b')].size(), 10u);  // nine refusals, then success
  EXPECT_EQ(api.path_name_lengths[guid('c')].size(), 10u);  // ten refusals: no paths
  EXPECT_EQ(api.path_name_lengths[guid('d')].size(), 1u);   // another failure is not retried
}

TEST(VolumeListingTest, SameMountPathRefreshesSizesOnlyAndNoEnumerationMeansNoVolumes) {
  FakeVolumeApi api({
      {.guid = guid('a'), .paths = {u"C:\\"}, .label = u"First", .total = 100, .free = 40},
      {.guid = guid('b'), .paths = {u"C:\\"}, .label = u"Second", .file_system = u"ReFS", .total = 100, .free = 400},
  });
  std::vector<VolumeRecord> records = list_volumes(api);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].name, "First");
  EXPECT_EQ(records[0].file_system, "NTFS");

  VolumeList list;
  list.add_or_refresh("C:\\", {.mount_point = "C:\\", .name = "Old", .total_bytes = 100, .available_bytes = 40});
  list.add_or_refresh("C:\\", {.mount_point = "C:\\", .name = "New", .total_bytes = 100, .available_bytes = 400});
  // One lossy text, two paths of the system: two records.
  list.add_or_refresh("/mnt/\xff", {.mount_point = "/mnt/\xEF\xBF\xBD", .total_bytes = 8, .available_bytes = 2});
  list.add_or_refresh("/mnt/\xfe", {.mount_point = "/mnt/\xEF\xBF\xBD", .total_bytes = 9, .available_bytes = 3});
  std::vector<VolumeRecord> refreshed = std::move(list).finish();
  ASSERT_EQ(refreshed.size(), 3u);
  EXPECT_EQ(refreshed[2].total_bytes, 9u);
  EXPECT_EQ(refreshed[0].name, "Old");
  EXPECT_EQ(refreshed[0].available_bytes, 400u);
  EXPECT_EQ(refreshed[0].used_bytes, 0u);
  EXPECT_EQ(refreshed[0].usage_ratio, 0.0);

  FakeVolumeApi none({{.guid = guid('a'), .paths = {u"C:\\"}}});
  none.enumeration_fails = true;
  EXPECT_TRUE(list_volumes(none).empty());
  EXPECT_EQ(none.closes, 0);
}

TEST(VolumeListingTest, WideTextBecomesUtf8WithUnpairedSurrogatesReplaced) {
  std::u16string label = u"Fotos ";
  label += char16_t(0xD83D);
  label += char16_t(0xDCF7);  // a camera, as a surrogate pair
  label += char16_t(0xD800);  // a lone high surrogate
  FakeVolumeApi api({{.guid = guid('a'), .paths = {u"C:\\Caf\u00e9\\"}, .label = label}});
  std::vector<VolumeRecord> records = list_volumes(api);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].name, "Fotos \xF0\x9F\x93\xB7\xEF\xBF\xBD");
  EXPECT_EQ(records[0].mount_point, "C:\\Caf\xC3\xA9\\");

  // Folder mounts whose names differ only in their unpaired surrogates read
  // alike once converted, yet are two paths.
  std::u16string high = u"C:\\m";
  high += char16_t(0xD800);
  std::u16string low = u"C:\\m";
  low += char16_t(0xDC00);
  FakeVolumeApi twins({{.guid = guid('a'), .paths = {high, low}, .total = 10, .free = 4}});
  records = list_volumes(twins);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].mount_point, "C:\\m\xEF\xBF\xBD");
  EXPECT_EQ(records[1].mount_point, records[0].mount_point);
}

}  // namespace
}  // namespace corvane::disk_info
