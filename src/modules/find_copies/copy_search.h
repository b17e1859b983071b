// The copy finder after argument intake: validation of the seed and the
// search directories, the search job with its stage events, and the ordered
// result with the seed row first.
#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "modules/find_copies/copy_types.h"
#include "modules/tool_outcome.h"
#include "platform/progress.h"
#include "platform/result.h"

namespace corvane::find_copies {

// Everything the blocking job works with. References stay valid for the
// job's whole run.
struct SearchJobInputs {
  const FindCopiesRequest& request;
  const ValidatedSeed& seed;
  const std::vector<std::string>& roots;  // canonical, in request order
  std::stop_token cancel;
  platform::ProgressReporter& reporter;
  platform::ProgressCounters& counters;
};

// The matches (no seed row), or the code text of a CopyError. A cancelled
// job returns an empty list.
using SearchJob = std::function<Result<std::vector<CopyEntry>>(const SearchJobInputs&)>;

Result<std::vector<CopyEntry>> run_copy_search(const SearchJobInputs& inputs);

// What the host supplies: where the stage events ("collecting", warnings,
// "done") go, the clock that throttles them, and the job (tests replace it).
struct SearchHost {
  platform::ProgressSink& sink;
  platform::Clock& clock;
  SearchJob job = run_copy_search;
};

// Validates and runs the search, cancelled by the context's stop token (a
// client's cancellation) and counting in its counters: the entries listed,
// then the candidates compared, with the two together as the total once the
// listing is over. Errors are the CopyError codes and "TASK_JOIN_FAILED"
// (the job threw). Starts no thread of its own but the blocking job, which
// has ended by the time this returns.
Result<CopySearchResult> find_copies(const FindCopiesRequest& request, SearchHost& host, ToolContext& context);

}  // namespace corvane::find_copies
