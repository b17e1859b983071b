// The find_duplicates tool: its request read from the call's arguments, its
// handler, and the JSON form of its payload.
#pragma once

#include "modules/find_copies/duplicates.h"
#include "modules/tool_outcome.h"

namespace corvane::find_copies {

// "search_dirs" keeps the string elements of an array and must not end up
// empty; "recursive" as given when a boolean (default true); "min_size" a
// non-negative integer literal, 0 and anything else giving 1;
// "exclude_paths" the string elements of an array.
Status read_arguments(const Json& arguments, FindDuplicatesRequest& request);

void to_json(Json& out, const DuplicateFile& file);
void to_json(Json& out, const DuplicateGroup& group);
void to_json(Json& out, const DuplicatesResult& result);

// Running out of threads or memory fails with "TASK_JOIN_FAILED".
Result<DuplicatesResult> find_duplicates_tool(const FindDuplicatesRequest& request, ToolContext& context);

}  // namespace corvane::find_copies
