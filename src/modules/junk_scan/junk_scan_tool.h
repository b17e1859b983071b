// The tool side of the junk scan: the scan_junk handler and its payload.
#pragma once

#include "modules/junk_scan/environment.h"
#include "modules/junk_scan/scan.h"
#include "modules/tool_arguments.h"
#include "modules/tool_outcome.h"

namespace corvane::junk_scan {

void to_json(Json& out, const JunkItem& item);
void to_json(Json& out, const JunkCategory& category);
void to_json(Json& out, const JunkScanResult& result);

// {"categories": [...], "total_size": n} over the process's own
// environment; never an error.
Result<JunkScanResult> scan_junk_tool(const NoArguments& request, ToolContext& context);

}  // namespace corvane::junk_scan
