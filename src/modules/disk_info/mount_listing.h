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
#include "platform/system_files.h"

namespace corvane::disk_info {

struct MountEntry {
  unsigned id = 0;
  unsigned parent = 0;      // the id of the mount this one is attached to
  unsigned major = 0;       // the kernel's device number; major 0 is anonymous
  unsigned minor = 0;
  std::string mount_point;  // unescaped bytes
  std::string file_system;
  std::string source;       // unescaped; only text, never proof of a device
};

// The well-formed lines of a mountinfo text, in order.
std::vector<MountEntry> parse_mountinfo(std::string_view text);

using platform::DeviceNumber;

struct MountProbe {
  bool is_directory = false;
  std::optional<std::uint64_t> total_bytes;  // both absent when statvfs failed
  std::optional<std::uint64_t> free_bytes;
};

struct MountSources {
  std::string mountinfo_path = "/proc/self/mountinfo";
  std::string sysfs_root = "/sys";
  std::string label_dir = "/dev/disk/by-label";
  // The number of the block device node that a mount's source names under
  // /dev, or nullopt when it names none. Only asked about btrfs sources and
  // about real device numbers that sysfs does not know. Empty: the node is
  // looked up on /dev itself.
  std::function<std::optional<DeviceNumber>(const std::string& source)> device_node;
  // Looks at a mount point. Only called for a mount on a real block device
  // that its path really shows, reached through file systems that answer
  // without waiting, so a hung FUSE daemon or network share is never
  // touched. Empty: probe_mount_point.
  std::function<MountProbe(const std::string& mount_point)> probe;
  // Counts mounts looked at of those listed; a stop ends the listing early.
  platform::TaskHooks hooks = {};
};

// stat and statvfs of the real mount point: total f_blocks x f_frsize,
// free f_bfree x f_frsize.
MountProbe probe_mount_point(const std::string& mount_point);

// The node `source` names, when it is a plain path under /dev (no "." or
// ".." step, no empty step) to a block device: stat on /dev only.
std::optional<DeviceNumber> dev_block_node(const std::string& source);

// One record per directory mount point of a file system on a block device
// other than loop, ram, zram, nbd and optical drives, in mountinfo order.
// A block device is known by its device number in sysfs, never by the
// source text (btrfs, whose number is anonymous, by the /dev node its
// source names). A mount that a later mount covers, at its own path or
// above it, is left out: its path shows the other file system.
std::vector<VolumeRecord> list_mounts(const MountSources& sources);

// A udev-escaped name ("My\x20Disk") as text.
std::string unescape_udev(std::string_view name);

}  // namespace corvane::disk_info
