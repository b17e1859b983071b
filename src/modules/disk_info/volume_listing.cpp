#include "modules/disk_info/volume_listing.h"

#include <algorithm>

#include "platform/text.h"

namespace corvane::disk_info {

void VolumeList::add_or_refresh(std::string raw_mount_point, VolumeRecord record) {
  auto same = std::find(raw_mount_points_.begin(), raw_mount_points_.end(), raw_mount_point);
  if (same == raw_mount_points_.end()) {
    raw_mount_points_.push_back(std::move(raw_mount_point));
    records_.push_back(std::move(record));
    return;
  }
  VolumeRecord& existing = records_[static_cast<std::size_t>(same - raw_mount_points_.begin())];
  existing.total_bytes = record.total_bytes;
  existing.available_bytes = record.available_bytes;
}

std::vector<VolumeRecord> VolumeList::finish() && {
  for (VolumeRecord& r : records_) {
    r.used_bytes = r.available_bytes <= r.total_bytes ? r.total_bytes - r.available_bytes : 0;
    r.usage_ratio = r.total_bytes == 0 ? 0.0 : static_cast<double>(r.used_bytes) / static_cast<double>(r.total_bytes);
  }
  return std::move(records_);
}

namespace {

constexpr std::uint32_t kVolumeNameLength = 261;  // MAX_PATH plus one
constexpr std::uint32_t kPathNamesLength = 260;
constexpr int kPathNamesAttempts = 10;
constexpr std::uint32_t kLabelLength = 261;
constexpr std::uint32_t kFileSystemLength = 32;

// The code units as bytes, to compare paths exactly.
std::string code_unit_bytes(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
}

// The text up to the first NUL (or the whole buffer when none).
std::u16string until_nul(const std::vector<char16_t>& buffer, std::size_t from = 0) {
  auto begin = buffer.begin() + static_cast<std::ptrdiff_t>(std::min(from, buffer.size()));
  return std::u16string(begin, std::find(begin, buffer.end(), u'\0'));
}

std::vector<std::u16string> enumerate_volumes(VolumeApi& api) {
  std::vector<std::u16string> volumes;
  std::vector<char16_t> name(kVolumeNameLength, u'\0');
  VolumeApi::FindHandle find = api.find_first_volume(name.data(), kVolumeNameLength);
  if (!find) return volumes;
  do {
    volumes.push_back(until_nul(name));
    std::fill(name.begin(), name.end(), u'\0');
  } while (api.find_next_volume(find, name.data(), kVolumeNameLength));
  api.find_volume_close(find);
  return volumes;
}

// The NUL-separated list ends at an empty string (or the buffer's end).
std::vector<std::u16string> split_path_list(const std::vector<char16_t>& buffer) {
  std::vector<std::u16string> paths;
  std::size_t at = 0;
  while (at < buffer.size()) {
    std::u16string path = until_nul(buffer, at);
    if (path.empty()) break;
    at += path.size() + 1;
    paths.push_back(std::move(path));
  }
  return paths;
}

std::vector<std::u16string> mount_paths(VolumeApi& api, const std::u16string& volume) {
  std::vector<char16_t> buffer(kPathNamesLength, u'\0');
  for (int attempt = 0; attempt < kPathNamesAttempts; ++attempt) {
    VolumeApi::PathNamesCall call =
        api.get_volume_path_names(volume.c_str(), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    if (call.ok) return split_path_list(buffer);
    if (!call.more_data) return {};
    buffer.assign(call.needed, u'\0');
  }
  return {};
}

void add_volume(VolumeApi& api, const std::u16string& volume, VolumeList& list) {
  std::vector<std::u16string> paths = mount_paths(api, volume);
  if (paths.empty()) return;
  std::uint32_t type = api.get_drive_type(volume.c_str());
  if (type != kDriveRemovable && type != kDriveFixed) return;
  std::vector<char16_t> label(kLabelLength, u'\0');
  std::vector<char16_t> file_system(kFileSystemLength, u'\0');
  if (!api.get_volume_information(volume.c_str(), label.data(), kLabelLength, file_system.data(),
                                  kFileSystemLength)) {
    return;
  }
  for (const std::u16string& path : paths) {
    VolumeRecord record;
    record.mount_point = platform::utf8_from_utf16(path);
    record.name = platform::utf8_from_utf16(until_nul(label));
    record.file_system = platform::utf8_from_utf16(until_nul(file_system));
    record.is_removable = type == kDriveRemovable;
    if (!api.get_disk_free_space(path.c_str(), &record.total_bytes, &record.available_bytes)) {
      record.total_bytes = 0;
      record.available_bytes = 0;
    }
    list.add_or_refresh(code_unit_bytes(path), std::move(record));
  }
}

}  // namespace

std::vector<VolumeRecord> list_volumes(VolumeApi& api, const platform::TaskHooks& hooks) {
  VolumeList list;
  std::vector<std::u16string> volumes = enumerate_volumes(api);
  hooks.set_total(volumes.size());
  for (const std::u16string& volume : volumes) {
    if (hooks.stopped()) break;
    add_volume(api, volume, list);
    hooks.advance();
  }
  return std::move(list).finish();
}

}  // namespace corvane::disk_info
