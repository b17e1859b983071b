#include "modules/disk_info/mount_listing.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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
    // The fixture machine's /dev: the block nodes its mounts name.
    s.device_node = [this](const std::string& source) -> std::optional<DeviceNumber> {
      nodes_asked_.push_back(source);
      static const std::map<std::string, DeviceNumber> nodes = {
          {"/dev/nvme0n1p2", {259, 2}}, {"/dev/nvme0n1p3", {259, 3}}, {"/dev/sda1", {8, 1}},
          {"/dev/sdb1", {8, 17}},       {"/dev/sdc1", {8, 33}},       {"/dev/sdd1", {8, 49}},
      };
      auto node = nodes.find(source);
      return node == nodes.end() ? std::nullopt : std::optional(node->second);
    };
    s.hooks = platform::TaskHooks({}, &counters_);
    s.probe = [this](const std::string& mount_point) {
      probed_.push_back(mount_point);
      counted_at_probe_.push_back(counters_.processed.load());
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
  std::vector<std::string> nodes_asked_;
  std::map<std::string, std::uint64_t> looks_;
  platform::ProgressCounters counters_;
  std::vector<std::uint64_t> counted_at_probe_;
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
      {"/secure", "ext4", "secure", false},         // a mapped (LUKS) volume
      {"/var/www", "ext4", "", false},              // a bind mount of the root device
      {"/media/alex/Backup Drive", "fuseblk", "Backup Drive", false},
      {"/media/alex/STICK", "vfat", "STICK", true},
      {"/data", "ext4", "", false},                 // mounted twice at one path: where the top one is
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
  EXPECT_EQ(std::count(probed_.begin(), probed_.end(), "/data"), 1);  // the covered one is not looked at
  EXPECT_EQ(records[4].total_bytes, 0u);
  EXPECT_EQ(records[4].usage_ratio, 0.0);

  // Pseudo, RAM and network file systems, loop and optical devices are
  // never even looked at, so a hung network share cannot stall the listing.
  for (const char* never : {"/proc", "/run", "/tmp", "/mnt/nas", "/snap/core22/1122", "/media/alex/CDROM",
                            "/var/lib/docker/overlay2/9a7e/merged", "/run/user/1000/doc"}) {
    EXPECT_EQ(std::count(probed_.begin(), probed_.end(), never), 0) << never;
  }
  // Only btrfs, whose device number is anonymous, is found by its source.
  EXPECT_EQ(nodes_asked_, (std::vector<std::string>{"/dev/nvme0n1p3", "/dev/nvme0n1p3"}));
  // A mount counts once looked at, not while its probe may still wait: the
  // count at a probe is the number of mounts listed before the probed one.
  std::vector<std::string> mount_points;
  for (const MountEntry& mount : parse_mountinfo(test::read_fixture("workstation.mountinfo"))) {
    mount_points.push_back(mount.mount_point);
  }
  ASSERT_EQ(counted_at_probe_.size(), probed_.size());
  for (std::size_t i = 0; i < probed_.size(); ++i) {
    auto last = std::find(mount_points.rbegin(), mount_points.rend(), probed_[i]);
    EXPECT_EQ(counted_at_probe_[i], static_cast<std::uint64_t>(mount_points.rend() - last - 1)) << probed_[i];
  }
  EXPECT_EQ(counters_.processed.load(), mount_points.size());
  EXPECT_EQ(counters_.total.load(), mount_points.size());
}

// Mounts that a listing trusting source text, or statvfs of every path,
// gets wrong: pseudo and network file systems posing as disks, covered
// mounts, mounts only reachable through a FUSE daemon, and mount points
// that are not UTF-8.
TEST_F(WorkstationMountsTest, OnlyPathsThatReallyShowADiskAreListedOrEvenLookedAt) {
  tree_.write("hostile.mountinfo",
              "28 1 259:2 / / rw - ext4 /dev/nvme0n1p2 rw\n"
              "90 28 0:60 / /fake-tmpfs rw - tmpfs /dev/sda1 rw\n"
              "91 28 0:61 / /fake-fuse rw - fuse.sshfs /dev/nvme0n1p2 rw\n"
              "92 28 0:62 / /fake-nfs rw - nfs4 /dev/sdb1 rw\n"
              "93 28 0:63 / /fake-fuseblk rw - fuseblk /dev/sdc1 rw\n"
              "94 28 8:1 / /covered rw - ext4 /dev/sda1 rw\n"
              "95 94 0:64 / /covered rw - tmpfs tmpfs rw\n"
              "96 28 8:17 / /outer rw - fuseblk /dev/sdb1 rw\n"
              "97 96 8:33 / /outer/inner rw - vfat /dev/sdc1 rw\n"
              "98 96 0:65 / /outer rw - tmpfs tmpfs rw\n"
              "99 28 0:66 / /remote rw - fuse.sshfs host:/ rw\n"
              "100 99 8:1 / /remote/disk rw - ext4 /dev/sda1 rw\n"
              "101 28 0:67 / /run rw - tmpfs tmpfs rw\n"
              "102 101 8:33 / /run/media/alex/STICK rw - vfat /dev/sdc1 rw\n"
              "103 28 0:68 / /srv rw - tmpfs tmpfs rw\n"
              "104 103 8:1 / /srv rw - ext4 /dev/sda1 rw\n"
              "105 28 259:2 /a /mnt/\xff rw - ext4 /dev/nvme0n1p2 rw\n"
              "106 28 259:2 /b /mnt/\xfe rw - ext4 /dev/nvme0n1p2 rw\n"
              "107 28 0:69 / /pool rw - btrfs /dev/nvme0n1p3 rw\n"
              "108 28 0:70 / /pool-elsewhere rw - btrfs /dev/nowhere rw\n"
              "109 28 8:49 / /no-sysfs rw - ext4 /dev/sdd1 rw\n"
              "110 28 8:50 / /no-sysfs-liar rw - ext4 /dev/sdd1 rw\n");
  MountSources s = sources();
  s.mountinfo_path = tree_.path("hostile.mountinfo");
  std::vector<VolumeRecord> records = list_mounts(s);

  const std::vector<std::string> shown = {"/", "/run/media/alex/STICK", "/srv", "/mnt/\xff", "/mnt/\xfe", "/pool",
                                          "/no-sysfs"};
  EXPECT_EQ(probed_, shown);
  ASSERT_EQ(records.size(), shown.size());
  EXPECT_EQ(records[2].file_system, "ext4");  // the disk over a tmpfs is what /srv shows
  EXPECT_EQ(records[3].mount_point, "/mnt/\xEF\xBF\xBD");
  EXPECT_EQ(records[4].mount_point, "/mnt/\xEF\xBF\xBD");
  EXPECT_EQ(records[5].name, "home");
  EXPECT_EQ(records[6].mount_point, "/no-sysfs");
  // A source is only looked up for btrfs, and for a real number sysfs lacks.
  EXPECT_EQ(nodes_asked_,
            (std::vector<std::string>{"/dev/nvme0n1p3", "/dev/nowhere", "/dev/sdd1", "/dev/sdd1"}));
}

TEST(DevBlockNodeTest, OnlyPlainPathsUnderDevToBlockDevicesCount) {
  for (const char* text : {"/dev/null", "/dev/shm", "/dev/", "/dev", "tmpfs", "/tmp/../dev/null", "/dev/no-such"}) {
    EXPECT_FALSE(dev_block_node(text).has_value()) << text;
  }
  DIR* dev = ::opendir("/dev");
  ASSERT_NE(dev, nullptr);
  std::string block;
  while (const dirent* entry = ::readdir(dev)) {
    struct stat info {};
    std::string path = std::string("/dev/") + entry->d_name;
    if (::lstat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode)) {
      block = path;
      break;
    }
  }
  ::closedir(dev);
  if (block.empty()) GTEST_SKIP() << "no block device node in /dev";
  std::optional<DeviceNumber> node = dev_block_node(block);
  ASSERT_TRUE(node.has_value()) << block;
  struct stat info {};
  ASSERT_EQ(::stat(block.c_str(), &info), 0);
  EXPECT_EQ(node->major, major(info.st_rdev));
  EXPECT_EQ(node->minor, minor(info.st_rdev));
  // The same node, spelt so that the lookup could leave /dev or skip a step.
  std::string name = block.substr(5);
  for (const std::string& odd : {"/dev/../dev/" + name, "/dev/./" + name, "/dev//" + name}) {
    EXPECT_FALSE(dev_block_node(odd).has_value()) << odd;
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
