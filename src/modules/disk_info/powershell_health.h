// Disk health on Windows: the inventory script lists the disks, one counter
// script per disk reads its reliability counters, and their printed lines
// become records. Runs through a ProcessRunner so tests can play PowerShell.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "modules/disk_info/health_record.h"
#include "platform/process.h"
#include "platform/progress.h"

namespace corvane::disk_info {

struct PowerShellSetup {
  std::string program;  // full path of powershell.exe
  std::chrono::milliseconds inventory_limit{60000};
  std::chrono::milliseconds disk_limit{30000};
  platform::TaskHooks hooks = {};  // disks done of those listed; a stop ends PowerShell and the report
};

// The inventory script, exactly as sent.
std::string inventory_script();

// The counter script for `device_id`, which must be a run of ASCII digits
// (it is inserted into the script as it is).
std::string counter_script(std::string_view device_id);

// The arguments that follow the program name, the script last.
std::vector<std::string> powershell_arguments(std::string script);

// "NVMe", "SSD", "HDD", "USB" or "Unknown" from the WMI model and media type.
std::string_view classify_disk_type(std::string_view model, std::string_view media_type);

// The record an accepted "DRIVE|" line describes, before its counters.
// nullopt for any other line.
std::optional<DiskHealthRecord> parse_drive_line(std::string_view line);

// Fills the counters of `record` from a counter script's output.
void apply_counter_output(std::string_view output, DiskHealthRecord& record);

// The whole report. Never fails: failures are records carrying `error`.
std::vector<DiskHealthRecord> powershell_disk_health(platform::ProcessRunner& runner, const PowerShellSetup& setup);

}  // namespace corvane::disk_info
