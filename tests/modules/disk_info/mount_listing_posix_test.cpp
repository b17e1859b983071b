#include "modules/disk_info/mount_listing.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "modules/disk_info/disk_info_test_support.h"
#include "modules/disk_info/fixture_tree.h"
#include "platform/process.h"

namespace corvane::disk_info {
namespace {

class WorkstationMountsTest : public ::testing::Test {
 protected:
  MountSources sources() {
    MountSources s;
    s.mountinfo_path = test::fixture_path("workstation.mountinfo");
    s.sysfs_root = tree_.path("sys");
    s.label_dir = tree_.path("dev/disk/by-label");
    s.probe = [this](const std::string& mount_point) {
      probed_.push_back(mount_point);
      if (mount_point == "/etc/hostname") return MountProbe{false, std::nullopt, std::nullopt};
      if (mount_point == "/secure") return MountProbe{true, std::nullopt, std::nullopt};  // statvfs failed
      // Each look at a mount point sees a little more used than the last.
      std::uint64_t looks = ++looks_[mount_point];
      return MountProbe{true, 1000000, 400000 - looks};
    };
    return s;
  }

  test::FixtureTree tree_{test::read_fixture("workstation.sysfs")};
  std::vector<std::string> probed_;
  std::map<std::string, std::uint64_t> looks_;
};

TEST_F(WorkstationMountsTest, ListsEachMountPathOfARealDiskInMountinfoOrder) {
  std::vector<VolumeRecord> records = list_mounts(sources());

  struct Expected {
    const char* mount_point;
    const char* file_system;
    const char* name;
    bool removable;
  };
  const Expected expected[] = {
      {"/", "ext4", "", false},
      {"/boot/efi", "vfat", "", false},
      {"/home", "btrfs", "home", false},            // btrfs: anonymous device number, found by its source
      {"/mnt/snapshots", "btrfs", "home", false},   // another subvolume of the same device
      {"/data", "ext4", "", false},                 // mounted twice at the same path: one record
      {"/secure", "ext4", "secure", false},         // a mapped (LUKS) volume
      {"/var/www", "ext4", "", false},              // a bind mount of the root device
      {"/media/alex/Backup Drive", "fuseblk", "Backup Drive", false},
      {"/media/alex/STICK", "vfat", "STICK", true},
  };
  ASSERT_EQ(records.size(), std::size(expected));
  for (std::size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(expected[i].mount_point);
    EXPECT_EQ(records[i].mount_point, expected[i].mount_point);
    EXPECT_EQ(records[i].file_system, expected[i].file_system);
    EXPECT_EQ(records[i].name, expected[i].name);
    EXPECT_EQ(records[i].is_removable, expected[i].removable);
    EXPECT_EQ(records[i].used_bytes + records[i].available_bytes, records[i].total_bytes);
  }
  EXPECT_EQ(records[0].total_bytes, 1000000u);
  EXPECT_EQ(records[0].available_bytes, 399999u);
  EXPECT_DOUBLE_EQ(records[0].usage_ratio, 600001.0 / 1000000.0);
  EXPECT_EQ(records[4].available_bytes, 399998u);  // refreshed by the second mount
  EXPECT_EQ(records[5].total_bytes, 0u);
  EXPECT_EQ(records[5].usage_ratio, 0.0);

  // Pseudo, RAM and network file systems, loop and optical devices are
  // never even looked at, so a hung network share cannot stall the listing.
  for (const char* never : {"/proc", "/run", "/tmp", "/mnt/nas", "/snap/core22/1122", "/media/alex/CDROM",
                            "/var/lib/docker/overlay2/9a7e/merged", "/run/user/1000/doc"}) {
    EXPECT_EQ(std::count(probed_.begin(), probed_.end(), never), 0) << never;
  }
}

TEST_F(WorkstationMountsTest, MountinfoFieldsAreUnescapedAndBrokenLinesSkipped) {
  std::vector<MountEntry> mounts = parse_mountinfo(
      "36 35 98:0 /mnt1 /mnt/with\\040space\\011tab\\134slash rw,noatime master:1 - ext3 /dev/root rw,errors=continue\n"
      "37 35 0:40 / /opt rw shared:2 shared:3 - btrfs /dev/sda\\0402 rw\n"
      "garbage line\n"
      "38 35 x:1 / /bad rw - ext4 /dev/sdz rw\n"
      "39 35 8:1 / /short rw -\n");
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].major, 98u);
  EXPECT_EQ(mounts[0].mount_point, "/mnt/with space\ttab\\slash");
  EXPECT_EQ(mounts[0].file_system, "ext3");
  EXPECT_EQ(mounts[0].source, "/dev/root");
  EXPECT_EQ(mounts[1].mount_point, "/opt");
  EXPECT_EQ(mounts[1].source, "/dev/sda 2");

  EXPECT_EQ(unescape_udev("Backup\\x20Drive\\x2fOld"), "Backup Drive/Old");
  EXPECT_EQ(unescape_udev("odd\\x2"), "odd\\x2");

  MountSources missing = sources();
  missing.mountinfo_path = tree_.path("no-such-file");
  EXPECT_TRUE(list_mounts(missing).empty());
}

// df's view of a mount point: size and used bytes.
struct DfRow {
  std::string source;
  std::uint64_t size = 0;
  std::uint64_t used = 0;
};

std::map<std::string, DfRow> df_rows() {
  auto ran = platform::system_process_runner().run(
      {"/bin/sh", {"-c", "df -B1 --output=target,source,size,used -a 2>/dev/null"}, std::chrono::seconds(30)});
  std::map<std::string, DfRow> rows;
  if (!ran.ok()) return rows;
  std::istringstream lines(ran->stdout_bytes);
  std::string line;
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string target;
    DfRow row;
    if (fields >> target >> row.source >> row.size >> row.used) rows[target] = row;
  }
  return rows;
}

TEST(RealMachineMountsTest, AgreesWithDf) {
  std::vector<VolumeRecord> records = list_disks();
  std::map<std::string, DfRow> df = df_rows();
  ASSERT_FALSE(df.empty()) << "df gave nothing to compare with";
  if (auto root = df.find("/"); root != df.end() && root->second.source.rfind("/dev/", 0) == 0 &&
                                root->second.source.rfind("/dev/loop", 0) != 0) {
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const VolumeRecord& r) { return r.mount_point == "/"; }))
        << "the root file system on " << root->second.source << " is missing";
  }
  for (const VolumeRecord& record : records) {
    SCOPED_TRACE(record.mount_point);
    EXPECT_EQ(record.used_bytes + record.available_bytes, record.total_bytes);
    auto row = df.find(record.mount_point);
    if (row == df.end()) continue;
    EXPECT_EQ(record.total_bytes, row->second.size);
    // Other programs write meanwhile; a few megabytes of drift is theirs.
    std::uint64_t drift = record.used_bytes > row->second.used ? record.used_bytes - row->second.used
                                                               : row->second.used - record.used_bytes;
    EXPECT_LT(drift, 64u << 20);
  }
}

}  // namespace
}  // namespace corvane::disk_info
