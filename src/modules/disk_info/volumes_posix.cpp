#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "modules/disk_info/lossy_text.h"
#include "modules/disk_info/mount_listing.h"

namespace corvane::disk_info {

namespace {

// Disks whose file systems are not volumes of this machine's storage.
constexpr std::string_view kVirtualDiskPrefixes[] = {"loop", "ram", "zram", "nbd", "sr"};

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<std::string> real_path(const std::string& path) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return std::nullopt;
  return std::string(resolved);
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
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

bool parse_device_number(std::string_view text, unsigned& major, unsigned& minor) {
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 >= text.size()) return false;
  auto number = [](std::string_view digits, unsigned& value) {
    value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9' || value > 100000000) return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
  };
  return number(text.substr(0, colon), major) && number(text.substr(colon + 1), minor);
}

struct BlockDevice {
  std::string name;  // kernel name of the mounted device (partition or disk)
  std::string disk;  // kernel name of the whole disk
  bool removable = false;
};

std::optional<std::string> sysfs_node(const MountSources& sources, const MountEntry& mount) {
  if (mount.major != 0) {
    std::string number = std::to_string(mount.major) + ":" + std::to_string(mount.minor);
    if (auto node = real_path(sources.sysfs_root + "/dev/block/" + number)) return node;
  }
  // Btrfs and a few others report an anonymous device number; their source
  // names the block device.
  if (mount.source.rfind("/dev/", 0) != 0) return std::nullopt;
  std::string device = real_path(mount.source).value_or(mount.source);
  return real_path(sources.sysfs_root + "/class/block/" + base_name(device));
}

std::optional<BlockDevice> block_device(const MountSources& sources, const MountEntry& mount) {
  BlockDevice device;
  if (auto node = sysfs_node(sources, mount)) {
    device.name = base_name(*node);
    std::string disk = exists(*node + "/partition") ? parent_of(*node) : *node;
    device.disk = base_name(disk);
    device.removable = trim_unicode_space(read_text(disk + "/removable").value_or("")) == "1";
  } else if (mount.major != 0 && mount.source.rfind("/dev/", 0) == 0) {
    // A real device number without sysfs (a chroot, say): still a volume.
    device.name = device.disk = base_name(mount.source);
  } else {
    return std::nullopt;
  }
  for (std::string_view prefix : kVirtualDiskPrefixes) {
    if (device.disk.rfind(prefix, 0) == 0) return std::nullopt;
  }
  return device;
}

// Kernel device name to label, from the links udev keeps.
std::map<std::string, std::string> labels_by_device(const std::string& label_dir) {
  std::map<std::string, std::string> labels;
  DIR* dir = ::opendir(label_dir.c_str());
  if (!dir) return labels;
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    char target[PATH_MAX];
    ssize_t length = ::readlink((label_dir + "/" + name).c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    labels.emplace(base_name(std::string_view(target, static_cast<std::size_t>(length))), unescape_udev(name));
  }
  ::closedir(dir);
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
    if (dash + 2 >= fields.size() || !parse_device_number(fields[2], mount.major, mount.minor)) continue;
    mount.mount_point = unescape_octal(fields[4]);
    mount.file_system = unescape_octal(fields[dash + 1]);
    mount.source = unescape_octal(fields[dash + 2]);
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

MountProbe probe_mount_point(const std::string& mount_point) {
  MountProbe probe;
  struct stat info {};
  probe.is_directory = ::stat(mount_point.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  struct statvfs space {};
  if (probe.is_directory && ::statvfs(mount_point.c_str(), &space) == 0) {
    probe.total_bytes = static_cast<std::uint64_t>(space.f_blocks) * space.f_frsize;
    probe.free_bytes = static_cast<std::uint64_t>(space.f_bfree) * space.f_frsize;
  }
  return probe;
}

std::vector<VolumeRecord> list_mounts(const MountSources& sources) {
  VolumeList list;
  std::optional<std::string> mountinfo = read_text(sources.mountinfo_path);
  if (!mountinfo) return {};
  std::map<std::string, std::string> labels = labels_by_device(sources.label_dir);
  for (const MountEntry& mount : parse_mountinfo(*mountinfo)) {
    std::optional<BlockDevice> device = block_device(sources, mount);
    if (!device) continue;
    MountProbe probe = sources.probe ? sources.probe(mount.mount_point) : probe_mount_point(mount.mount_point);
    if (!probe.is_directory) continue;
    VolumeRecord record;
    record.mount_point = utf8_lossy(mount.mount_point);
    record.file_system = utf8_lossy(mount.file_system);
    if (auto label = labels.find(device->name); label != labels.end()) record.name = utf8_lossy(label->second);
    record.is_removable = device->removable;
    if (probe.total_bytes && probe.free_bytes) {
      record.total_bytes = *probe.total_bytes;
      record.available_bytes = *probe.free_bytes;
    }
    list.add_or_refresh(std::move(record));
  }
  return std::move(list).finish();
}

std::vector<VolumeRecord> list_disks() { return list_mounts(MountSources{}); }

}  // namespace corvane::disk_info
