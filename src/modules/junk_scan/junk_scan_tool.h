// The JSON side of the junk scan: the scan_junk payload.
#pragma once

#include "modules/junk_scan/environment.h"
#include "modules/junk_scan/scan.h"
#include "modules/tool_outcome.h"

namespace corvane::junk_scan {

void to_json(Json& out, const JunkItem& item);
void to_json(Json& out, const JunkCategory& category);
void to_json(Json& out, const JunkScanResult& result);

// {"categories": [...], "total_size": n}; never an error.
ToolOutcome scan_junk_tool(const Environment& environment);
// The same with the process's own environment.
ToolOutcome scan_junk_tool();

}  // namespace corvane::junk_scan
