#include "modules/disk_info/disk_info_tool.h"

namespace corvane::disk_info {

namespace {

template <typename T>
Json optional_json(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace

void to_json(Json& out, const VolumeRecord& record) {
  out = Json{
      {"mount_point", record.mount_point},
      {"name", record.name},
      {"file_system", record.file_system},
      {"total_bytes", record.total_bytes},
      {"used_bytes", record.used_bytes},
      {"available_bytes", record.available_bytes},
      {"usage_ratio", record.usage_ratio},
      {"is_removable", record.is_removable},
  };
}

void to_json(Json& out, const DiskHealthRecord& record) {
  out = Json{
      {"device_id", record.device_id},
      {"model", record.model},
      {"serial", record.serial},
      {"disk_type", record.disk_type},
      {"status_raw", record.status_raw},
      {"status", record.status},
      {"power_on_hours", optional_json(record.power_on_hours)},
      {"reallocated_sectors", optional_json(record.reallocated_sectors)},
      {"wear_leveling_pct", optional_json(record.wear_leveling_pct)},
      {"temperature_celsius", optional_json(record.temperature_celsius)},
      {"total_bytes_written_gb", optional_json(record.total_bytes_written_gb)},
      {"nand_writes_gb", optional_json(record.nand_writes_gb)},
      {"remaining_life_pct", optional_json(record.remaining_life_pct)},
      {"error", optional_json(record.error)},
  };
}

Result<std::vector<VolumeRecord>> list_disks_tool(const NoArguments&, ToolContext& context) {
  return list_disks(context.hooks());
}

Result<std::vector<DiskHealthRecord>> disk_health_tool(const NoArguments&, ToolContext& context) {
  return disk_health(context.hooks());
}

}  // namespace corvane::disk_info
