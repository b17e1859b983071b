// The `list_disks` and `disk_health` tools: this machine's records as the
// JSON payloads the client receives. Neither tool ever fails; trouble shows
// as missing volumes or as records carrying `error`.
#pragma once

#include <vector>

#include "modules/disk_info/health_record.h"
#include "modules/disk_info/volume_listing.h"
#include "modules/tool_outcome.h"

namespace corvane::disk_info {

Json to_json(const VolumeRecord& record);
Json to_json(const DiskHealthRecord& record);

// A JSON array with one object per record, in order.
Json volumes_payload(const std::vector<VolumeRecord>& records);
Json health_payload(const std::vector<DiskHealthRecord>& records);

ToolOutcome list_disks_tool();
ToolOutcome disk_health_tool();

}  // namespace corvane::disk_info
