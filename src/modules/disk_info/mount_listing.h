// The Linux side of the volume listing: mounted file systems from mountinfo,
// kept when they live on a real block device, sized with statvfs. The
// sources are injectable so that tests can play a whole machine.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "modules/disk_info/volume_listing.h"

namespace corvane::disk_info {

struct MountEntry {
  unsigned major = 0;
  unsigned minor = 0;
  std::string mount_point;  // unescaped
  std::string file_system;
  std::string source;       // unescaped
};

// The well-formed lines of a mountinfo text, in order.
std::vector<MountEntry> parse_mountinfo(std::string_view text);

struct MountProbe {
  bool is_directory = false;
  std::optional<std::uint64_t> total_bytes;  // both absent when statvfs failed
  std::optional<std::uint64_t> free_bytes;
};

struct MountSources {
  std::string mountinfo_path = "/proc/self/mountinfo";
  std::string sysfs_root = "/sys";
  std::string label_dir = "/dev/disk/by-label";
  // Looks at a mount point; only called for mounts of real block devices,
  // so a hung network file system is never touched.
  std::function<MountProbe(const std::string& mount_point)> probe;
};

// stat and statvfs of the real mount point: total f_blocks x f_frsize,
// free f_bfree x f_frsize.
MountProbe probe_mount_point(const std::string& mount_point);

// One record per directory mount point of a file system on a block device
// other than loop, ram, zram, nbd and optical drives, in mountinfo order.
std::vector<VolumeRecord> list_mounts(const MountSources& sources);

// A udev-escaped name ("My\x20Disk") as text.
std::string unescape_udev(std::string_view name);

}  // namespace corvane::disk_info
