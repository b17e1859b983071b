#include "modules/disk_info/health_record.h"

#include <limits>

#include "platform/text.h"

namespace corvane::disk_info {

namespace {

struct StatusRow {
  std::string_view status_raw;  // lower case
  std::string_view status;
};

constexpr StatusRow kStatusTable[] = {
    {"ok", "good"},
    {"degraded", "warning"},
    {"stressed", "warning"},
    {"pred fail", "warning"},
    {"error", "critical"},
    {"lost comm", "critical"},
    {"nonrecover", "critical"},
    {"no contact", "critical"},
};
constexpr std::string_view kStatusOtherwise = "unknown";

}  // namespace

std::string_view health_status(std::string_view status_raw) {
  std::string lowered = platform::lower_case_unicode(status_raw);
  for (const StatusRow& row : kStatusTable) {
    if (row.status_raw == lowered) return row.status;
  }
  return kStatusOtherwise;
}

DiskHealthRecord failure_record(std::string device_id, std::string error) {
  DiskHealthRecord record;
  record.device_id = std::move(device_id);
  record.error = std::move(error);
  return record;
}

std::optional<std::int64_t> parse_counter(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate as a negative number so that INT64_MIN parses too.
  std::int64_t value = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == kMin) return std::nullopt;
    value = -value;
  }
  return value;
}

void set_power_on_hours(DiskHealthRecord& record, std::int64_t value) {
  if (value >= 0) record.power_on_hours = static_cast<std::uint64_t>(value);
}

void set_reallocated_sectors(DiskHealthRecord& record, std::int64_t value) {
  if (value >= 0) record.reallocated_sectors = static_cast<std::uint64_t>(value);
}

void set_wear(DiskHealthRecord& record, std::int64_t wear) {
  if (wear < 0 || wear > 100) return;
  auto left = static_cast<std::uint8_t>(100 - wear);
  record.wear_leveling_pct = left;
  record.remaining_life_pct = left;
}

void set_temperature(DiskHealthRecord& record, std::int64_t value) {
  if (value >= 0) record.temperature_celsius = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

void set_written_gb(DiskHealthRecord& record, std::uint64_t gigabytes) {
  record.total_bytes_written_gb = gigabytes;
  record.nand_writes_gb = gigabytes;
}

void clear_counters(DiskHealthRecord& record) {
  record.power_on_hours.reset();
  record.reallocated_sectors.reset();
  record.wear_leveling_pct.reset();
  record.temperature_celsius.reset();
  record.total_bytes_written_gb.reset();
  record.nand_writes_gb.reset();
  record.remaining_life_pct.reset();
}

}  // namespace corvane::disk_info
