#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <span>

#include "modules/disk_info/mount_listing.h"
#include "platform/path.h"
#include "platform/system_files.h"
#include "platform/text.h"

namespace corvane::disk_info {

namespace {

// Disks whose file systems are not volumes of this machine's storage.
constexpr std::string_view kVirtualDiskPrefixes[] = {"loop", "ram", "zram", "nbd", "sr"};

// File systems on block devices that mountinfo shows with an anonymous
// device number; their source names the device.
constexpr std::string_view kAnonymousNumberOnDisk[] = {"btrfs", "bcachefs"};

// File systems without a device of their own that answer lookups from
// memory or from local layers, never from a daemon or the network: a mount
// point's path may pass through them.
constexpr std::string_view kAnswerWithoutWaiting[] = {"rootfs", "tmpfs", "ramfs", "devtmpfs", "overlay"};

bool listed_in(std::span<const std::string_view> table, std::string_view name) {
  return std::find(table.begin(), table.end(), name) != table.end();
}

// A sysfs attribute's text; empty when it cannot be read.
std::string file_text(const std::string& path) {
  Result<std::string> text = platform::read_small_file(path);
  return text.ok() ? std::move(text).value() : std::string();
}

std::string base_name(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string parent_of(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash));
}

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string unescape_octal(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    bool octal = field[i] == '\\' && i + 3 < field.size();
    if (octal) {
      for (std::size_t k = 1; k <= 3; ++k) octal = octal && field[i + k] >= '0' && field[i + k] <= '7';
    }
    if (octal) {
      out += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::vector<std::string_view> split_blanks(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t at = 0;
  while (at < line.size()) {
    std::size_t end = line.find(' ', at);
    if (end == std::string_view::npos) end = line.size();
    if (end > at) fields.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  return fields;
}

bool parse_number(std::string_view digits, unsigned& value) {
  value = 0;
  if (digits.empty()) return false;
  for (char c : digits) {
    if (c < '0' || c > '9' || value > 100000000) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return true;
}

bool parse_device_number(std::string_view text, unsigned& major, unsigned& minor) {
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  return parse_number(text.substr(0, colon), major) && parse_number(text.substr(colon + 1), minor);
}

struct BlockDevice {
  std::string name;  // kernel name of the mounted device (partition or disk)
  std::string disk;  // kernel name of the whole disk
  bool removable = false;
  bool virtual_disk = false;  // loop, ram, ...: a block device, but no volume
};

std::optional<DeviceNumber> source_node(const MountSources& sources, const std::string& source) {
  return sources.device_node ? sources.device_node(source) : dev_block_node(source);
}

std::optional<BlockDevice> block_device(const MountSources& sources, const MountEntry& mount) {
  DeviceNumber number{mount.major, mount.minor};
  if (number.major == 0) {
    if (!listed_in(kAnonymousNumberOnDisk, mount.file_system)) return std::nullopt;
    std::optional<DeviceNumber> node = source_node(sources, mount.source);
    if (!node || node->major == 0) return std::nullopt;
    number = *node;
  }
  BlockDevice device;
  std::string key = std::to_string(number.major) + ":" + std::to_string(number.minor);
  if (Result<std::string> node = platform::canonical_path(sources.sysfs_root + "/dev/block/" + key); node.ok()) {
    device.name = base_name(*node);
    std::string disk = platform::link_metadata(*node + "/partition").ok() ? parent_of(*node) : *node;
    device.disk = base_name(disk);
    device.removable = platform::trim_white_space(file_text(disk + "/removable")) == "1";
  } else if (mount.major != 0 && source_node(sources, mount.source) == number) {
    // A real device number that sysfs does not show (a chroot, say): still
    // a volume when its source is the node of that very device.
    device.name = device.disk = base_name(mount.source);
  } else {
    return std::nullopt;
  }
  device.virtual_disk = std::any_of(std::begin(kVirtualDiskPrefixes), std::end(kVirtualDiskPrefixes),
                                    [&](std::string_view prefix) { return device.disk.starts_with(prefix); });
  return device;
}

// Which mount a path shows, found as the kernel walks it: from the root,
// each step enters what is attached at that path to the mount reached so
// far (the newest, when there are several), and then what is stacked on it.
// Mounts attached to one that is not listed (the namespace's own parent, or
// above a chroot) hang from "outside".
class MountTree {
 public:
  explicit MountTree(const std::vector<MountEntry>& mounts);

  // The index of the mount `path` shows (nullopt: an unlisted one); `walked`
  // gets the listed mounts in which a step of the path is looked up.
  std::optional<std::size_t> resolve(std::string_view path, std::vector<std::size_t>& walked) const;

 private:
  static constexpr std::int64_t kOutside = -1;
  std::optional<std::size_t> enter(std::optional<std::size_t> at, std::string_view point) const;

  const std::vector<MountEntry>& mounts_;
  std::map<std::pair<std::int64_t, std::string_view>, std::size_t> attached_;
};

MountTree::MountTree(const std::vector<MountEntry>& mounts) : mounts_(mounts) {
  std::set<unsigned> ids;
  for (const MountEntry& mount : mounts) ids.insert(mount.id);
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    const MountEntry& mount = mounts[i];
    bool outside = mount.parent == mount.id || !ids.contains(mount.parent);
    attached_[{outside ? kOutside : std::int64_t{mount.parent}, mount.mount_point}] = i;  // later is newer
  }
}

std::optional<std::size_t> MountTree::enter(std::optional<std::size_t> at, std::string_view point) const {
  // Bounded, in case a malformed table makes a cycle.
  for (std::size_t steps = 0; steps <= mounts_.size(); ++steps) {
    auto above = attached_.find({at ? std::int64_t{mounts_[*at].id} : kOutside, point});
    if (above == attached_.end()) break;
    at = above->second;
  }
  return at;
}

std::optional<std::size_t> MountTree::resolve(std::string_view path, std::vector<std::size_t>& walked) const {
  walked.clear();
  std::optional<std::size_t> at = enter(std::nullopt, "/");
  for (std::size_t end = 1; end < path.size(); ++end) {
    end = std::min(path.find('/', end), path.size());
    if (at) walked.push_back(*at);
    at = enter(at, path.substr(0, end));
  }
  return at;
}

// Kernel device name to label, from the links udev keeps.
std::map<std::string, std::string> labels_by_device(const std::string& label_dir) {
  std::map<std::string, std::string> labels;
  for (const std::string& name : platform::directory_names(label_dir)) {
    Result<std::string> target = platform::read_link(label_dir + "/" + name);
    if (!target.ok() || target->empty()) continue;
    labels.emplace(base_name(*target), unescape_udev(name));
  }
  return labels;
}

}  // namespace

std::string unescape_udev(std::string_view name) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name.substr(i, 2) == "\\x" && i + 3 < name.size() && hex(name[i + 2]) >= 0 && hex(name[i + 3]) >= 0) {
      out += static_cast<char>(hex(name[i + 2]) * 16 + hex(name[i + 3]));
      i += 3;
    } else {
      out += name[i];
    }
  }
  return out;
}

std::vector<MountEntry> parse_mountinfo(std::string_view text) {
  std::vector<MountEntry> mounts;
  while (!text.empty()) {
    std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view{} : text.substr(lf + 1);
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::vector<std::string_view> fields = split_blanks(line);
    std::size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    MountEntry mount;
    if (dash + 2 >= fields.size() || !parse_number(fields[0], mount.id) || !parse_number(fields[1], mount.parent) ||
        !parse_device_number(fields[2], mount.major, mount.minor)) {
      continue;
    }
    mount.mount_point = unescape_octal(fields[4]);
    mount.file_system = unescape_octal(fields[dash + 1]);
    mount.source = unescape_octal(fields[dash + 2]);
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

MountProbe probe_mount_point(const std::string& mount_point) {
  MountProbe probe;
  probe.is_directory = platform::is_directory(mount_point);
  if (!probe.is_directory) return probe;
  if (Result<platform::FileSystemSpace> space = platform::file_system_space(mount_point); space.ok()) {
    probe.total_bytes = space->total_bytes;
    probe.free_bytes = space->free_bytes;
  }
  return probe;
}

std::optional<DeviceNumber> dev_block_node(const std::string& source) {
  std::string_view path(source);
  if (!path.starts_with("/dev/")) return std::nullopt;
  // Lexically under /dev, so the lookup cannot leave it by "..".
  for (std::size_t at = 5; at <= path.size();) {
    std::size_t end = std::min(path.find('/', at), path.size());
    std::string_view step = path.substr(at, end - at);
    if (step.empty() || step == "." || step == "..") return std::nullopt;
    at = end + 1;
  }
  return platform::block_device_number(source);
}

std::vector<VolumeRecord> list_mounts(const MountSources& sources) {
  Result<std::string> mountinfo = platform::read_small_file(sources.mountinfo_path);
  if (!mountinfo.ok()) return {};
  std::vector<MountEntry> mounts = parse_mountinfo(*mountinfo);
  std::vector<std::optional<BlockDevice>> devices;
  devices.reserve(mounts.size());
  for (const MountEntry& mount : mounts) devices.push_back(block_device(sources, mount));

  MountTree tree(mounts);
  std::vector<std::size_t> walked;
  // The root answered this process's own lookups already (/proc, to begin with).
  std::optional<std::size_t> root = tree.resolve("/", walked);
  auto answers_at_once = [&](std::size_t i) {
    return i == root || devices[i].has_value() || listed_in(kAnswerWithoutWaiting, mounts[i].file_system);
  };

  std::map<std::string, std::string> labels = labels_by_device(sources.label_dir);
  VolumeList list;
  // A mount is counted once it is looked at, its probe (the slow part) over.
  auto look_at = [&](std::size_t i) {
    const MountEntry& mount = mounts[i];
    const std::optional<BlockDevice>& device = devices[i];
    if (!device || device->virtual_disk) return;
    if (tree.resolve(mount.mount_point, walked) != i) return;  // covered: the path shows another mount
    if (!std::all_of(walked.begin(), walked.end(), answers_at_once)) return;
    MountProbe probe = sources.probe ? sources.probe(mount.mount_point) : probe_mount_point(mount.mount_point);
    if (!probe.is_directory) return;
    VolumeRecord record;
    record.mount_point = platform::lossy_utf8(mount.mount_point);
    record.file_system = platform::lossy_utf8(mount.file_system);
    if (auto label = labels.find(device->name); label != labels.end()) record.name = platform::lossy_utf8(label->second);
    record.is_removable = device->removable;
    if (probe.total_bytes && probe.free_bytes) {
      record.total_bytes = *probe.total_bytes;
      record.available_bytes = *probe.free_bytes;
    }
    list.add_or_refresh(mount.mount_point, std::move(record));
  };
  sources.hooks.set_total(mounts.size());
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    if (sources.hooks.stopped()) break;
    look_at(i);
    sources.hooks.advance();
  }
  return std::move(list).finish();
}

std::vector<VolumeRecord> list_disks(const platform::TaskHooks& hooks) {
  MountSources sources;
  sources.hooks = hooks;
  return list_mounts(sources);
}

}  // namespace corvane::disk_info
