// What disk health takes from `smartctl --json -a` on Linux.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::disk_info {

struct SmartReport {
  bool readable = false;                  // the output was a JSON object
  std::optional<std::int64_t> exit_status;  // smartctl.exit_status
  std::string message;                    // the first error message, else the first message
  std::optional<bool> passed;             // smart_status.passed
  std::optional<std::int64_t> power_on_hours;
  std::optional<std::int64_t> temperature;
  std::optional<std::int64_t> percentage_used;   // NVMe
  std::optional<std::uint64_t> data_units_written;  // NVMe, units of 512,000 bytes
  std::optional<std::int64_t> reallocated_raw;   // ATA attribute 5
  std::optional<std::uint64_t> lbas_written;      // ATA attribute 241
  std::optional<std::uint64_t> logical_block_size;
};

// Reads smartctl's JSON document. Anything missing or of another type stays
// absent; text that is not JSON gives a report that is not readable.
SmartReport read_smartctl_json(std::string_view text);

// Whether smartctl could not read the disk at all: the output is not its
// JSON, or its exit status (the document's, else the process's) says the
// command line was refused or the device could not be opened.
bool smartctl_failed(const SmartReport& report, int process_exit_code);

}  // namespace corvane::disk_info
