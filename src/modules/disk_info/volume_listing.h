// The volume listing behind `list_disks`: one record per mount path of every
// mounted fixed or removable volume. It never fails; whatever cannot be read
// is left out or reported as zero.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/progress.h"

namespace corvane::disk_info {

struct VolumeRecord {
  std::string mount_point{};
  std::string name{};         // the label; empty when the volume has none
  std::string file_system{};
  std::uint64_t total_bytes = 0;
  std::uint64_t used_bytes = 0;       // total - available, saturating at 0
  std::uint64_t available_bytes = 0;  // all free bytes, not the caller's quota
  double usage_ratio = 0.0;           // 0.0 for a zero total
  bool is_removable = false;
};

// Records in discovery order, one per mount path.
class VolumeList {
 public:
  // Appends `record`, or, when a record with the same mount path exists,
  // refreshes only that record's sizes with the new ones. Paths are the
  // same when the system's own bytes (`raw_mount_point`: UTF-8 bytes, or
  // UTF-16 code units) are: two paths can share one lossy text.
  void add_or_refresh(std::string raw_mount_point, VolumeRecord record);
  // The records with `used_bytes` and `usage_ratio` worked out.
  std::vector<VolumeRecord> finish() &&;

 private:
  std::vector<std::string> raw_mount_points_;
  std::vector<VolumeRecord> records_;
};

// The seven volume functions, as narrow as the listing uses them, so that
// tests can stand in for a machine's volumes. Text is UTF-16, in buffers the
// caller owns; each call reports failure as the real function does.
class VolumeApi {
 public:
  using FindHandle = void*;  // nullptr stands for a failed FindFirstVolumeW

  struct PathNamesCall {
    bool ok = false;
    bool more_data = false;     // failed because the buffer was too small
    std::uint32_t needed = 0;   // the length the system asked for then
  };

  virtual ~VolumeApi() = default;
  virtual FindHandle find_first_volume(char16_t* name, std::uint32_t length) = 0;
  virtual bool find_next_volume(FindHandle find, char16_t* name, std::uint32_t length) = 0;
  virtual void find_volume_close(FindHandle find) = 0;
  virtual PathNamesCall get_volume_path_names(const char16_t* volume, char16_t* buffer, std::uint32_t length) = 0;
  virtual std::uint32_t get_drive_type(const char16_t* root) = 0;
  virtual bool get_volume_information(const char16_t* root, char16_t* label, std::uint32_t label_length,
                                      char16_t* file_system, std::uint32_t file_system_length) = 0;
  // GetDiskFreeSpaceExW asking for the total and the total free bytes only.
  virtual bool get_disk_free_space(const char16_t* path, std::uint64_t* total, std::uint64_t* total_free) = 0;
};

inline constexpr std::uint32_t kDriveRemovable = 2;
inline constexpr std::uint32_t kDriveFixed = 3;

// The Windows listing over `api`: volumes in enumeration order, each
// mounted one of drive type 2 or 3 with readable volume information.
// Counts the volumes looked at of those enumerated in `hooks`, and stops
// looking once their stop is requested.
std::vector<VolumeRecord> list_volumes(VolumeApi& api, const platform::TaskHooks& hooks = {});

// This machine's volumes (the volume functions on Windows, mountinfo and
// statvfs on Linux), counted and stopped through `hooks` as above.
std::vector<VolumeRecord> list_disks(const platform::TaskHooks& hooks = {});

}  // namespace corvane::disk_info
