#include "modules/disk_info/powershell_health.h"

#include "modules/disk_info/script_output.h"
#include "platform/text.h"

namespace corvane::disk_info {

namespace {

constexpr std::string_view kInventoryScript =
    "\n"
    "$ErrorActionPreference = 'SilentlyContinue'\n"
    "$drives = Get-WmiObject -Class Win32_DiskDrive 2>$null\n"
    "if (-not $drives) { exit 0 }\n"
    "foreach ($d in $drives) {\n"
    "    $idx   = $d.Index\n"
    "    $model = if ($d.Model) { $d.Model.Trim() } else { '' }\n"
    "    $serial = if ($d.SerialNumber) { $d.SerialNumber.Trim() } else { '' }\n"
    "    $status = if ($d.Status) { $d.Status.Trim() } else { 'Unknown' }\n"
    "    $mediaType = if ($d.MediaType) { $d.MediaType.Trim() } else { 'Unknown' }\n"
    "    $size  = if ($d.Size) { $d.Size } else { 0 }\n"
    "    Write-Output \"DRIVE|$idx|$model|$serial|$status|$mediaType|$size\"\n"
    "}\n";

// The device id goes between these two parts. The script has no NVMe
// block: the counter it read there (WriteErrorsTotal) is an error count,
// not a write volume, so Windows reports no written gigabytes at all.
constexpr std::string_view kCounterScriptHead =
    "\n"
    "$ErrorActionPreference = 'SilentlyContinue'\n"
    "try {\n"
    "    $disks = Get-PhysicalDisk 2>$null\n"
    "    if (-not $disks) { Write-Output 'NODATA'; exit 0 }\n"
    "    #  DeviceId \n"
    "    $target = $disks | Where-Object { $_.DeviceId -eq '";
constexpr std::string_view kCounterScriptTail =
    "' } | Select-Object -First 1\n"
    "    if (-not $target) {\n"
    "        $target = $disks | Select-Object -First 1\n"
    "    }\n"
    "    $rel = $target | Get-StorageReliabilityCounter 2>$null\n"
    "    if ($rel) {\n"
    "        $poh   = if ($null -ne $rel.PowerOnHours)    { [long]$rel.PowerOnHours }    else { -1 }\n"
    "        $temp  = if ($null -ne $rel.Temperature)     { [long]$rel.Temperature }     else { -1 }\n"
    "        $wear  = if ($null -ne $rel.Wear)            { [long]$rel.Wear }            else { -1 }\n"
    "        $read  = if ($null -ne $rel.ReadErrorsTotal) { [long]$rel.ReadErrorsTotal } else { -1 }\n"
    "        # WriteErrorsCorrected \n"
    "        $wec   = if ($null -ne $rel.WriteErrorsCorrected) { [long]$rel.WriteErrorsCorrected } else { -1 }\n"
    "        # FlushLatency  WriteErrorsTotal\n"
    "        $wet   = if ($null -ne $rel.WriteErrorsTotal) { [long]$rel.WriteErrorsTotal } else { -1 }\n"
    "        Write-Output \"SMART|$poh|$temp|$wear|$read|$wec|$wet\"\n"
    "    } else {\n"
    "        Write-Output 'NODATA'\n"
    "    }\n"
    "} catch {\n"
    "    Write-Output 'NODATA'\n"
    "}\n";

enum class Field { model, media_type };

struct DiskTypeRule {
  Field field;
  std::string_view keyword;  // matched against the lower-cased field
  std::string_view disk_type;
};

// First match wins.
constexpr DiskTypeRule kDiskTypeRules[] = {
    {Field::model, "nvme", "NVMe"},
    {Field::model, "nvm express", "NVMe"},
    {Field::media_type, "solid", "SSD"},
    {Field::media_type, "ssd", "SSD"},
    {Field::model, "ssd", "SSD"},
    {Field::model, "solid", "SSD"},
    {Field::media_type, "fixed", "HDD"},
    {Field::media_type, "external", "HDD"},
    {Field::media_type, "removable", "USB"},
};
constexpr std::string_view kDiskTypeOtherwise = "Unknown";

constexpr std::size_t kDriveFields = 7;
constexpr std::size_t kSmartFields = 7;

bool all_ascii_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void apply_smart_line(const std::vector<std::string_view>& fields, DiskHealthRecord& record) {
  // A later line replaces everything an earlier one set.
  clear_counters(record);
  if (auto value = parse_counter(fields[1])) set_power_on_hours(record, *value);
  if (auto value = parse_counter(fields[2])) set_temperature(record, *value);
  if (auto value = parse_counter(fields[3])) set_wear(record, *value);
  if (auto value = parse_counter(fields[4])) set_reallocated_sectors(record, *value);
}

}  // namespace

std::string inventory_script() { return std::string(kInventoryScript); }

std::string counter_script(std::string_view device_id) {
  std::string script(kCounterScriptHead);
  script += device_id;
  script += kCounterScriptTail;
  return script;
}

std::vector<std::string> powershell_arguments(std::string script) {
  return {"-NoProfile", "-NonInteractive", "-WindowStyle", "Hidden", "-ExecutionPolicy", "RemoteSigned",
          "-Command", std::move(script)};
}

std::string_view classify_disk_type(std::string_view model, std::string_view media_type) {
  std::string lowered_model = platform::lower_case_unicode(model);
  std::string lowered_media = platform::lower_case_unicode(media_type);
  for (const DiskTypeRule& rule : kDiskTypeRules) {
    const std::string& text = rule.field == Field::model ? lowered_model : lowered_media;
    if (text.find(rule.keyword) != std::string::npos) return rule.disk_type;
  }
  return kDiskTypeOtherwise;
}

std::optional<DiskHealthRecord> parse_drive_line(std::string_view line) {
  if (line.rfind("DRIVE|", 0) != 0) return std::nullopt;
  std::vector<std::string_view> fields = split_fields(line);
  if (fields.size() < kDriveFields) return std::nullopt;
  DiskHealthRecord record;
  record.device_id = fields[1];
  record.model = fields[2];
  record.serial = fields[3];
  record.status_raw = fields[4];
  record.disk_type = classify_disk_type(fields[2], fields[5]);
  record.status = health_status(record.status_raw);
  return record;
}

void apply_counter_output(std::string_view output, DiskHealthRecord& record) {
  std::string text = platform::lossy_utf8(output);
  for (std::string_view line : output_lines(text)) {
    if (line == "NODATA") {
      clear_counters(record);
      return;
    }
    if (line.rfind("SMART|", 0) == 0) {
      std::vector<std::string_view> fields = split_fields(line);
      if (fields.size() >= kSmartFields) apply_smart_line(fields, record);
    }
  }
}

std::vector<DiskHealthRecord> powershell_disk_health(platform::ProcessRunner& runner, const PowerShellSetup& setup) {
  auto inventory = runner.run(
      {setup.program, powershell_arguments(inventory_script()), setup.inventory_limit, setup.hooks.stop});
  if (!inventory.ok()) return {failure_record("unknown", std::string(kPowerShellFailed) + inventory.error())};

  std::vector<DiskHealthRecord> listed;
  std::string text = platform::lossy_utf8(inventory->stdout_bytes);
  for (std::string_view line : output_lines(text)) {
    if (std::optional<DiskHealthRecord> record = parse_drive_line(line)) listed.push_back(std::move(*record));
  }
  setup.hooks.set_total(listed.size());

  std::vector<DiskHealthRecord> records;
  for (DiskHealthRecord& record : listed) {
    if (setup.hooks.stopped()) break;
    // Only WMI's numeric index is ever put into a script.
    if (all_ascii_digits(record.device_id)) {
      auto counters = runner.run({setup.program, powershell_arguments(counter_script(record.device_id)),
                                  setup.disk_limit, setup.hooks.stop});
      if (!counters.ok()) {
        record.error = std::string(kPowerShellUnavailable);
      } else {
        apply_counter_output(counters->stdout_bytes, record);
        if (counters->timed_out) record.error = std::string(kPowerShellTimeout);
      }
    }
    records.push_back(std::move(record));
    setup.hooks.advance();
  }
  if (records.empty()) {
    if (inventory->timed_out) return {failure_record("unknown", std::string(kPowerShellTimeout))};
    return {failure_record("0", std::string(kWmiEmpty))};
  }
  return records;
}

}  // namespace corvane::disk_info
