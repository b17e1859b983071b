// The records of `disk_health`, the verdict table and the counter rules that
// both platforms share. Every failure of the tool is a record with `error`
// set; the tool itself never fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/progress.h"

namespace corvane::disk_info {

struct DiskHealthRecord {
  std::string device_id;
  std::string model;
  std::string serial;
  std::string disk_type = "Unknown";  // "NVMe", "SSD", "HDD", "USB" or "Unknown"
  std::string status_raw;
  std::string status = "unknown";     // "good", "warning", "critical" or "unknown"
  std::optional<std::uint64_t> power_on_hours;
  std::optional<std::uint64_t> reallocated_sectors;
  std::optional<std::uint8_t> wear_leveling_pct;
  std::optional<std::int32_t> temperature_celsius;
  std::optional<std::uint64_t> total_bytes_written_gb;
  std::optional<std::uint64_t> nand_writes_gb;
  std::optional<std::uint8_t> remaining_life_pct;
  std::optional<std::string> error;
};

inline constexpr std::string_view kPowerShellFailed = "HEALTH_POWERSHELL_FAILED: ";
inline constexpr std::string_view kPowerShellUnavailable = "HEALTH_POWERSHELL_UNAVAILABLE";
inline constexpr std::string_view kPowerShellTimeout = "HEALTH_POWERSHELL_TIMEOUT";
inline constexpr std::string_view kWmiEmpty = "HEALTH_WMI_EMPTY";
inline constexpr std::string_view kSysfsEmpty = "HEALTH_SYSFS_EMPTY";
inline constexpr std::string_view kSmartctlFailed = "HEALTH_SMARTCTL_FAILED: ";
inline constexpr std::string_view kSmartctlUnavailable = "HEALTH_SMARTCTL_UNAVAILABLE";
inline constexpr std::string_view kSmartctlTimeout = "HEALTH_SMARTCTL_TIMEOUT";

// The verdict for a status word, compared lower-cased and exactly.
std::string_view health_status(std::string_view status_raw);

// The single record of a payload that found no disk: `device_id` as given
// ("0" when the inventory ran and found nothing, "unknown" when it could
// not run to its end), empty texts, no counters, `error` set.
DiskHealthRecord failure_record(std::string device_id, std::string error);

// A counter as printed: a decimal 64-bit signed integer (optional sign,
// digits only, overflow rejected).
std::optional<std::int64_t> parse_counter(std::string_view text);

// Counter setters shared by both platforms. A negative value leaves the
// counter absent; `wear` sets both life fields to 100 - wear when it lies in
// 0..100; a temperature keeps the low 32 bits of its value.
void set_power_on_hours(DiskHealthRecord& record, std::int64_t value);
void set_reallocated_sectors(DiskHealthRecord& record, std::int64_t value);
void set_wear(DiskHealthRecord& record, std::int64_t wear);
void set_temperature(DiskHealthRecord& record, std::int64_t value);
void set_written_gb(DiskHealthRecord& record, std::uint64_t gigabytes);
void clear_counters(DiskHealthRecord& record);

// This machine's report: PowerShell on Windows, sysfs and smartctl on Linux.
// Counts the disks done of those found in `hooks`; a stop request ends the
// child process running and the report early.
std::vector<DiskHealthRecord> disk_health(const platform::TaskHooks& hooks = {});

}  // namespace corvane::disk_info
