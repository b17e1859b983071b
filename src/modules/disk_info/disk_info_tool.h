// The `list_disks` and `disk_health` tools: this machine's records, and
// their JSON form. Neither tool ever fails; trouble shows as missing volumes
// or as records carrying `error`. A list of records is a JSON array.
#pragma once

#include <vector>

#include "modules/disk_info/health_record.h"
#include "modules/disk_info/volume_listing.h"
#include "modules/tool_arguments.h"
#include "modules/tool_outcome.h"

namespace corvane::disk_info {

void to_json(Json& out, const VolumeRecord& record);
void to_json(Json& out, const DiskHealthRecord& record);

Result<std::vector<VolumeRecord>> list_disks_tool(const NoArguments& request, ToolContext& context);
Result<std::vector<DiskHealthRecord>> disk_health_tool(const NoArguments& request, ToolContext& context);

}  // namespace corvane::disk_info
