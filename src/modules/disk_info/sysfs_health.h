// Disk health on Linux: the disks sysfs lists, with counters from
// `smartctl --json -a`. The sysfs root and the runner are injectable so
// that tests can play a machine and its smartctl.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "modules/disk_info/health_record.h"
#include "modules/disk_info/smartctl_report.h"
#include "platform/process.h"
#include "platform/progress.h"

namespace corvane::disk_info {

struct SysfsHealthSetup {
  std::string sysfs_root = "/sys";
  std::optional<std::string> smartctl;  // full path; nullopt when not installed
  std::chrono::milliseconds limit{30000};
  platform::TaskHooks hooks = {};  // disks done of the disks sysfs lists; a stop ends smartctl and the report
};

struct DiskFacts {
  bool nvme = false;
  bool on_usb = false;
  bool removable = false;
  bool solid_state = false;  // queue/rotational is 0
  bool rotating = false;     // queue/rotational is 1
};

std::string_view classify_disk_facts(const DiskFacts& facts);

// smartctl from the system folders (/usr/sbin, /sbin, /usr/bin, /bin,
// /usr/local/sbin), then from the search path.
std::optional<std::string> find_smartctl();

// Fills the record's verdict and counters from a report smartctl completed.
// `block_size` is the disk's logical block size from sysfs, used when the
// report has none.
void apply_smartctl_report(const SmartReport& report, std::uint64_t block_size, DiskHealthRecord& record);

std::vector<DiskHealthRecord> sysfs_disk_health(platform::ProcessRunner& runner, const SysfsHealthSetup& setup);

}  // namespace corvane::disk_info
