// The one place outside the tool adapter that reads JSON: smartctl's own
// output, which arrives as a JSON document.
#include "modules/disk_info/smartctl_report.h"

#include <nlohmann/json.hpp>

namespace corvane::disk_info {

namespace {

using Json = nlohmann::json;

const Json* member(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const Json* path(const Json& root, std::initializer_list<const char*> keys) {
  const Json* at = &root;
  for (const char* key : keys) {
    at = member(*at, key);
    if (!at) return nullptr;
  }
  return at;
}

std::optional<std::int64_t> signed_at(const Json& root, std::initializer_list<const char*> keys) {
  const Json* value = path(root, keys);
  if (!value) return std::nullopt;
  if (value->is_number_unsigned()) {
    auto u = value->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (value->is_number_integer()) return value->get<std::int64_t>();
  return std::nullopt;
}

std::optional<std::uint64_t> unsigned_at(const Json& root, std::initializer_list<const char*> keys) {
  const Json* value = path(root, keys);
  if (!value) return std::nullopt;
  if (value->is_number_unsigned()) return value->get<std::uint64_t>();
  if (value->is_number_integer() && value->get<std::int64_t>() >= 0) {
    return static_cast<std::uint64_t>(value->get<std::int64_t>());
  }
  return std::nullopt;
}

const Json* ata_attribute(const Json& root, int id) {
  const Json* table = path(root, {"ata_smart_attributes", "table"});
  if (!table || !table->is_array()) return nullptr;
  for (const Json& row : *table) {
    const Json* row_id = member(row, "id");
    if (row_id && row_id->is_number_integer() && row_id->get<std::int64_t>() == id) return &row;
  }
  return nullptr;
}

std::string first_message(const Json& root) {
  const Json* messages = path(root, {"smartctl", "messages"});
  if (!messages || !messages->is_array()) return {};
  std::string first;
  for (const Json& message : *messages) {
    const Json* text = member(message, "string");
    if (!text || !text->is_string()) continue;
    const Json* severity = member(message, "severity");
    if (severity && severity->is_string() && severity->get<std::string>() == "error") return text->get<std::string>();
    if (first.empty()) first = text->get<std::string>();
  }
  return first;
}

}  // namespace

SmartReport read_smartctl_json(std::string_view text) {
  SmartReport report;
  Json root = Json::parse(text.begin(), text.end(), nullptr, false);
  if (!root.is_object()) return report;
  report.readable = true;
  report.exit_status = signed_at(root, {"smartctl", "exit_status"});
  report.message = first_message(root);
  if (const Json* passed = path(root, {"smart_status", "passed"}); passed && passed->is_boolean()) {
    report.passed = passed->get<bool>();
  }
  report.power_on_hours = signed_at(root, {"power_on_time", "hours"});
  report.temperature = signed_at(root, {"temperature", "current"});
  report.percentage_used = signed_at(root, {"nvme_smart_health_information_log", "percentage_used"});
  report.data_units_written = unsigned_at(root, {"nvme_smart_health_information_log", "data_units_written"});
  if (const Json* reallocated = ata_attribute(root, 5)) report.reallocated_raw = signed_at(*reallocated, {"raw", "value"});
  if (const Json* written = ata_attribute(root, 241)) report.lbas_written = unsigned_at(*written, {"raw", "value"});
  report.logical_block_size = unsigned_at(root, {"logical_block_size"});
  return report;
}

bool smartctl_failed(const SmartReport& report, int process_exit_code) {
  std::int64_t status = report.exit_status.value_or(process_exit_code);
  // Bit 0: the command line did not parse; bit 1: the device did not open.
  // The higher bits describe the disk, which was read.
  return !report.readable || status < 0 || (status & 3) != 0;
}

}  // namespace corvane::disk_info
