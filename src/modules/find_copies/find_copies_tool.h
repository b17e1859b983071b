// The find_copies tool: its request read from the call's arguments, its
// handler, and the JSON form of its payload.
#pragma once

#include <string>

#include "modules/find_copies/copy_search.h"
#include "modules/find_copies/copy_types.h"
#include "modules/tool_outcome.h"

namespace corvane::find_copies {

// Argument intake, in order: "seed_path" must be a string; "search_dirs"
// keeps the string elements of an array and must not end up empty;
// "recursive", "match_mode" and "similarity_threshold" as given when of
// their type. A match_mode other than "exact" or "similar" fails with
// "invalid arguments: " and a message quoting it. The task id is always
// server_task_id().
Status read_arguments(const Json& arguments, FindCopiesRequest& request);

// "mcp_" and the server's process id.
std::string server_task_id();

void to_json(Json& out, const CopyEntry& entry);
void to_json(Json& out, const CopySearchResult& result);

// The tool as the server runs it: no-op progress sink, steady clock, the
// call's stop token and counters. Running out of threads or memory for the
// search fails with "TASK_JOIN_FAILED".
Result<CopySearchResult> find_copies_tool(const FindCopiesRequest& request, ToolContext& context);

}  // namespace corvane::find_copies
