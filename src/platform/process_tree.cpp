#include "platform/process_tree.h"

#include <map>
#include <unordered_map>

namespace corvane::platform {

std::optional<Launched> launch_in_job(const JobLaunch& steps) {
  if (!steps.create(0, false)) return std::nullopt;
  if (steps.join(0)) return Launched{0, true};
  if (!steps.create(1, true)) return Launched{0, false};
  if (steps.join(1)) {
    steps.discard(0);
    return Launched{1, true};
  }
  // Outside the server's job and in none of its own, the second would
  // escape both; the first at least stays in the server's.
  steps.discard(1);
  return Launched{0, false};
}

std::size_t end_descendants(ProcessTable& table, std::uint32_t root, std::int64_t root_created) {
  std::unordered_map<std::uint32_t, std::int64_t> known{
      {root, root_created}};  // id -> creation time
  std::size_t ended = 0;
  for (int round = 0; round < kMaxTreeSnapshots; ++round) {
    std::int64_t taken_at = 0;
    std::multimap<std::uint32_t, std::uint32_t> children;  // parent id -> id
    for (const ProcessRow& row : table.snapshot(taken_at)) {
      if (row.pid != row.parent) children.emplace(row.parent, row.pid);
    }
    std::vector<std::uint32_t> parents;
    for (const auto& [pid, created] : known) parents.push_back(pid);
    bool found = false;
    while (!parents.empty()) {
      const std::uint32_t parent = parents.back();
      parents.pop_back();
      const std::int64_t parent_created = known.at(parent);
      auto [first, last] = children.equal_range(parent);
      for (auto it = first; it != last; ++it) {
        const std::uint32_t pid = it->second;
        if (known.contains(pid)) continue;
        std::optional<ProcessTable::Held> held = table.hold(pid);
        if (!held) continue;
        bool same_parent = !held->parent || *held->parent == parent;
        if (!same_parent || held->created < parent_created || held->created > taken_at) {
          table.drop(pid);
          continue;
        }
        table.end(pid);
        known.emplace(pid, held->created);
        parents.push_back(pid);
        found = true;
        ++ended;
      }
    }
    if (!found) break;
  }
  return ended;
}

}  // namespace corvane::platform
