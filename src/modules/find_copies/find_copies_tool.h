// The find_copies tool: JSON arguments in, JSON payload or error text out.
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
// "invalid arguments: " and a message quoting it.
Result<FindCopiesRequest> find_copies_request(const Json& arguments, std::string task_id);

// "mcp_" and the server's process id.
std::string server_task_id();

Json to_json(const CopyEntry& entry);
Json to_json(const CopySearchResult& result);

// The tool as the server runs it: no-op progress sink, steady clock.
ToolOutcome find_copies_tool(const Json& arguments);
// The same with a host of the caller's (progress, clock, cancellation, job).
ToolOutcome find_copies_tool(const Json& arguments, SearchHost& host);

}  // namespace corvane::find_copies
