#include <algorithm>

#include "modules/disk_info/script_output.h"
#include "modules/disk_info/sysfs_health.h"
#include "platform/path.h"
#include "platform/system_files.h"
#include "platform/text.h"

namespace corvane::disk_info {

namespace {

// Block devices that are not physical disks: virtual, mapped, RAID, network,
// optical and floppy.
constexpr std::string_view kNotDisks[] = {"loop", "ram", "zram", "dm-", "md", "nbd", "sr", "fd"};

struct FactRule {
  bool DiskFacts::*fact;
  std::string_view disk_type;
};

// First match wins.
constexpr FactRule kFactRules[] = {
    {&DiskFacts::nvme, "NVMe"},
    {&DiskFacts::on_usb, "USB"},
    {&DiskFacts::removable, "USB"},
    {&DiskFacts::solid_state, "SSD"},
    {&DiskFacts::rotating, "HDD"},
};
constexpr std::string_view kDiskTypeOtherwise = "Unknown";

constexpr const char* kSmartctlDirs[] = {"/usr/sbin", "/sbin", "/usr/bin", "/bin", "/usr/local/sbin"};

// A sysfs file's bytes; empty when it cannot be read.
std::string file_text(const std::string& path) {
  Result<std::string> text = platform::read_small_file(path);
  return text.ok() ? std::move(text).value() : std::string();
}

// A sysfs attribute as trimmed text; empty when absent.
std::string attribute(const std::string& path) {
  return std::string(platform::trim_white_space(platform::lossy_utf8(file_text(path))));
}

std::vector<std::string> sorted_names(const std::string& path) {
  std::vector<std::string> names = platform::directory_names(path);
  std::sort(names.begin(), names.end());
  return names;
}

// The serial from the SCSI unit-serial VPD page: a four-byte header (page
// code 0x80, then the length) followed by the ASCII serial.
std::string unit_serial_page(const std::string& path) {
  std::string page = file_text(path);
  if (page.size() < 4 || static_cast<unsigned char>(page[1]) != 0x80) return {};
  std::size_t length = (static_cast<unsigned char>(page[2]) << 8) | static_cast<unsigned char>(page[3]);
  std::string serial = page.substr(4, length);
  std::replace(serial.begin(), serial.end(), '\0', ' ');
  return std::string(platform::trim_white_space(platform::lossy_utf8(serial)));
}

std::string serial_of(const std::string& block) {
  for (const char* leaf : {"/device/serial", "/serial"}) {
    if (std::string serial = attribute(block + leaf); !serial.empty()) return serial;
  }
  return unit_serial_page(block + "/device/vpd_pg80");
}

// The disk's own sensor (nvme, or drivetemp for SATA), in whole degrees.
std::optional<std::int64_t> hwmon_temperature(const std::string& block) {
  std::vector<std::string> candidates;
  for (const std::string& name : sorted_names(block + "/device")) {
    if (name.rfind("hwmon", 0) == 0 && name != "hwmon") candidates.push_back(block + "/device/" + name);
  }
  for (const std::string& name : sorted_names(block + "/device/hwmon")) {
    candidates.push_back(block + "/device/hwmon/" + name);
  }
  for (const std::string& dir : candidates) {
    if (auto millidegrees = parse_counter(attribute(dir + "/temp1_input"))) return *millidegrees / 1000;
  }
  return std::nullopt;
}

struct SysfsDisk {
  DiskHealthRecord record;
  std::string block;  // its folder under <sysfs>/block
  std::uint64_t block_size = 512;
};

std::optional<SysfsDisk> read_disk(const std::string& sysfs_root, const std::string& name) {
  for (std::string_view prefix : kNotDisks) {
    if (name.rfind(prefix, 0) == 0) return std::nullopt;
  }
  SysfsDisk disk;
  disk.block = sysfs_root + "/block/" + name;
  std::optional<std::int64_t> sectors = parse_counter(attribute(disk.block + "/size"));
  if (!sectors || *sectors <= 0) return std::nullopt;

  DiskFacts facts;
  facts.nvme = name.rfind("nvme", 0) == 0;
  Result<std::string> device_path = platform::canonical_path(disk.block);
  facts.on_usb = device_path.ok() && device_path->find("/usb") != std::string::npos;
  facts.removable = attribute(disk.block + "/removable") == "1";
  std::string rotational = attribute(disk.block + "/queue/rotational");
  facts.solid_state = rotational == "0";
  facts.rotating = rotational == "1";

  disk.record.device_id = name;
  disk.record.model = attribute(disk.block + "/device/model");
  disk.record.serial = serial_of(disk.block);
  disk.record.disk_type = classify_disk_facts(facts);
  disk.record.status_raw = "Unknown";
  disk.record.status = health_status(disk.record.status_raw);
  if (auto size = parse_counter(attribute(disk.block + "/queue/logical_block_size")); size && *size > 0) {
    disk.block_size = static_cast<std::uint64_t>(*size);
  }
  return disk;
}

// Decimal gigabytes of `count` units of `unit_bytes`, computed without
// overflow: count = q * 10^9 + r.
std::uint64_t decimal_gigabytes(std::uint64_t count, std::uint64_t unit_bytes) {
  constexpr std::uint64_t kGiga = 1000000000;
  return (count / kGiga) * unit_bytes + (count % kGiga) * unit_bytes / kGiga;
}

std::string failure_text(const SmartReport& report, const platform::ProcessOutput& output) {
  if (!report.message.empty()) return std::string(platform::trim_white_space(platform::lossy_utf8(report.message)));
  std::string err = platform::lossy_utf8(output.stderr_bytes);
  for (std::string_view line : output_lines(err)) {
    if (!line.empty()) return std::string(line);
  }
  return "exit status " + std::to_string(report.exit_status.value_or(output.exit_code));
}

void read_counters(platform::ProcessRunner& runner, const SysfsHealthSetup& setup, SysfsDisk& disk) {
  DiskHealthRecord& record = disk.record;
  // Kernel names write a "/" of the device path as "!" (cciss!c0d0).
  std::string device = "/dev/" + record.device_id;
  std::replace(device.begin(), device.end(), '!', '/');
  auto ran = runner.run({*setup.smartctl, {"--json", "-a", device}, setup.limit, setup.hooks.stop});
  if (!ran.ok()) {
    record.error = std::string(kSmartctlFailed) + ran.error();
    return;
  }
  SmartReport report = read_smartctl_json(ran->stdout_bytes);
  if (ran->timed_out) {
    if (report.readable) apply_smartctl_report(report, disk.block_size, record);
    record.error = std::string(kSmartctlTimeout);
  } else if (smartctl_failed(report, ran->exit_code)) {
    record.error = std::string(kSmartctlFailed) + failure_text(report, *ran);
  } else {
    apply_smartctl_report(report, disk.block_size, record);
  }
}

}  // namespace

std::string_view classify_disk_facts(const DiskFacts& facts) {
  for (const FactRule& rule : kFactRules) {
    if (facts.*rule.fact) return rule.disk_type;
  }
  return kDiskTypeOtherwise;
}

std::optional<std::string> find_smartctl() {
  std::vector<std::string> preferred;
  for (const char* dir : kSmartctlDirs) preferred.push_back(std::string(dir) + "/smartctl");
  return platform::find_program("smartctl", preferred, platform::environment_variable("PATH"));
}

void apply_smartctl_report(const SmartReport& report, std::uint64_t block_size, DiskHealthRecord& record) {
  record.status_raw = !report.passed ? "Unknown" : *report.passed ? "OK" : "Pred Fail";
  record.status = health_status(record.status_raw);
  if (report.power_on_hours) set_power_on_hours(record, *report.power_on_hours);
  if (report.temperature) set_temperature(record, *report.temperature);
  if (report.percentage_used) set_wear(record, *report.percentage_used);
  if (report.reallocated_raw) set_reallocated_sectors(record, *report.reallocated_raw);
  if (report.data_units_written && *report.data_units_written > 0) {
    set_written_gb(record, decimal_gigabytes(*report.data_units_written, 512000));
  } else if (report.lbas_written && *report.lbas_written > 0) {
    std::uint64_t size = report.logical_block_size && *report.logical_block_size > 0 ? *report.logical_block_size
                                                                                       : block_size;
    set_written_gb(record, decimal_gigabytes(*report.lbas_written, size));
  }
}

std::vector<DiskHealthRecord> sysfs_disk_health(platform::ProcessRunner& runner, const SysfsHealthSetup& setup) {
  // The disks first, from sysfs alone (quick), so that the count is of
  // disks, each counted once its slow smartctl run is over.
  std::vector<SysfsDisk> disks;
  for (const std::string& name : sorted_names(setup.sysfs_root + "/block")) {
    if (std::optional<SysfsDisk> disk = read_disk(setup.sysfs_root, name)) disks.push_back(std::move(*disk));
  }
  setup.hooks.set_total(disks.size());
  std::vector<DiskHealthRecord> records;
  for (SysfsDisk& disk : disks) {
    if (setup.hooks.stopped()) break;
    if (setup.smartctl) {
      read_counters(runner, setup, disk);
    } else {
      disk.record.error = std::string(kSmartctlUnavailable);
    }
    // Without smartctl's reading (no root, say) the kernel's sensor still
    // tells the temperature.
    if (!disk.record.temperature_celsius) {
      if (auto degrees = hwmon_temperature(disk.block)) set_temperature(disk.record, *degrees);
    }
    records.push_back(std::move(disk.record));
    setup.hooks.advance();
  }
  if (records.empty()) return {failure_record("0", std::string(kSysfsEmpty))};
  return records;
}

std::vector<DiskHealthRecord> disk_health(const platform::TaskHooks& hooks) {
  SysfsHealthSetup setup;
  setup.smartctl = find_smartctl();
  setup.hooks = hooks;
  return sysfs_disk_health(platform::system_process_runner(), setup);
}

}  // namespace corvane::disk_info
