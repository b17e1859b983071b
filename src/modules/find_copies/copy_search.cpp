#include "modules/find_copies/copy_search.h"

#include <utility>

#include "modules/find_copies/candidates.h"
#include "modules/find_copies/exact_match.h"
#include "modules/find_copies/similar_match.h"
#include "modules/find_copies/validation.h"
#include "modules/reply_budget.h"
#include "platform/path.h"
#include "platform/runtime.h"

namespace corvane::find_copies {

Result<std::vector<CopyEntry>> run_copy_search(const SearchJobInputs& in) {
  // The seed cannot be hashed or sampled without fetching it.
  if (in.seed.data_not_local) return copy_error(CopyError::seed_read_failed);
  const std::string seed_key = extension_key(file_name_of(in.seed.path));
  // One count across both stages: the entries listed, then the candidates
  // compared, so that progress only ever grows.
  const platform::TaskHooks hooks(in.cancel, &in.counters);
  std::vector<Candidate> candidates = collect_candidates(
      CollectOptions{in.roots, in.request.recursive, in.seed.path, seed_key, in.request.task_id}, hooks,
      in.reporter);
  if (hooks.stopped()) return std::vector<CopyEntry>{};
  const std::uint64_t listed = hooks.processed();
  hooks.begin_stage(candidates.size());

  std::vector<CopyEntry> matches;
  if (in.request.match_mode == MatchMode::exact) {
    Result<SeedDigests> digests = seed_digests(in.seed.path, in.seed.size, in.cancel);
    if (hooks.stopped()) return std::vector<CopyEntry>{};
    if (!digests.ok()) return digests.failure();
    matches = find_identical(candidates, in.seed.size, digests.value(), hooks);
  } else {
    Result<std::uint64_t> fingerprint = sample_fingerprint(in.seed.path, in.seed.size);
    if (hooks.stopped()) return std::vector<CopyEntry>{};
    if (!fingerprint.ok()) return copy_error(CopyError::seed_read_failed);
    matches = find_similar(candidates, fingerprint.value(), in.request.similarity_threshold.value_or(0.0), hooks);
  }
  in.counters.processed.store(listed + candidates.size());
  return matches;
}

Result<CopySearchResult> find_copies(const FindCopiesRequest& request, SearchHost& host, ToolContext& context) {
  Result<ValidatedSeed> seed = validate_seed(request.seed_path);
  if (!seed.ok()) return seed.failure();
  if (request.search_dirs.size() > kMaxSearchDirs) return copy_error(CopyError::too_many_search_dirs);
  Result<std::vector<std::string>> roots = validate_search_dirs(request.search_dirs);
  if (!roots.ok()) return roots.failure();
  if (Status threshold = check_similarity_threshold(request); !threshold.ok()) return threshold.failure();

  const std::stop_token& cancel = context.stop;
  platform::ProgressCounters& counters = context.counters;
  platform::ProgressReporter reporter(host.sink, host.clock);
  reporter.report(platform::ProgressEvent{request.task_id, std::string(kStageCollecting), 0, 0});

  // The periodic reports are the caller's: it ticks over the same counters.
  SearchJobInputs inputs{request, seed.value(), roots.value(), cancel, reporter, counters};
  using JobResult = Result<std::vector<CopyEntry>>;
  Result<JobResult> joined =
      runtime::blocking_pool().run<JobResult>([&host, &inputs]() -> JobResult { return host.job(inputs); });

  if (!joined.ok()) return make_error(std::string(kTaskJoinFailed));
  JobResult& ran = joined.value();
  if (!ran.ok()) return ran.failure();
  if (cancel.stop_requested()) return copy_error(CopyError::cancelled);

  std::vector<CopyEntry> matches = std::move(ran).value();
  order_matches(matches, request.match_mode);

  CopySearchResult result;
  result.seed_path = platform::display_path(seed->path);
  result.entries.reserve(matches.size() + 1);
  result.entries.push_back(CopyEntry{std::nullopt, result.seed_path, seed->size, seed->modified, MatchType::seed});
  for (CopyEntry& match : matches) result.entries.push_back(std::move(match));
  matches = {};
  result.omitted_count = keep_what_fits(result.entries, [](const CopyEntry& e) { return e.path.size(); });
  reporter.report(platform::ProgressEvent{request.task_id, std::string(platform::kStageDone),
                                          counters.processed.load(), counters.total.load()});
  return result;
}

}  // namespace corvane::find_copies
