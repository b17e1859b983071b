// Keeping a child's whole process tree in hand on Windows, where a child's
// descendants are ended through a job object. The rules are here, apart
// from the system calls, so that tests can drive them with fakes: how a
// child is put into a job, and how its descendants are found and ended
// when no job could take it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace corvane::platform {

// The steps of starting a child inside a job. Slots name the children
// created so far (0 for the first, 1 for the second).
struct JobLaunch {
  // Creates the child suspended, so that it runs nothing before it is in
  // the job; with `breakaway`, outside the job the server itself runs in.
  // False when it cannot be created.
  std::function<bool(int slot, bool breakaway)> create;
  // Puts the child into the job that ends its tree; false when refused.
  std::function<bool(int slot)> join;
  // Ends a child that has not run (it is still suspended).
  std::function<void(int slot)> discard;
};

struct Launched {
  int slot = 0;
  bool in_job = false;  // false: its descendants must be ended by end_descendants
};

// Creates the child and puts it into the job. Where that is refused (the
// server runs in a job that allows no nesting, as before Windows 8), a
// second child is created breaking away from the server's job and joins
// instead; the first, never run, is discarded. If the second cannot be
// created or cannot join either, the first is kept outside any job of its
// own. nullopt when not even the first could be created.
std::optional<Launched> launch_in_job(const JobLaunch& steps);

// One row of a snapshot of the system's processes.
struct ProcessRow {
  std::uint32_t pid = 0;
  std::uint32_t parent = 0;  // the id of its creator then, which may since name another process
};

// What ending a tree without a job asks of the system.
class ProcessTable {
 public:
  struct Held {
    std::int64_t created = 0;  // creation time, FILETIME ticks
    std::optional<std::uint32_t>
        parent;  // its creator's id as the process itself has it, where known
  };

  virtual ~ProcessTable() = default;
  // Every process now. `taken_at` (FILETIME ticks) is no earlier than the
  // moment the snapshot was taken.
  virtual std::vector<ProcessRow> snapshot(std::int64_t& taken_at) = 0;
  // Opens the process `pid` and keeps it open, so that its id cannot pass
  // to another process, until the table is destroyed or drop() is called.
  // nullopt when it is gone or cannot be opened.
  virtual std::optional<Held> hold(std::uint32_t pid) = 0;
  virtual void drop(std::uint32_t pid) = 0;
  // Terminates a process held, and waits a moment for it to be gone, so
  // that it creates nothing after the next snapshot.
  virtual void end(std::uint32_t pid) = 0;
};

// Snapshots taken at most to end a tree: each finds the children that the
// processes ended before it left behind.
inline constexpr int kMaxTreeSnapshots = 16;

// Ends every descendant of `root`, which has ended and which the caller
// holds open (so that its id stays its own); it was created at
// `root_created`. A process
// listed with a parent already known is that parent's child only if,
// opened, it still names that parent and was created after it and before
// the snapshot: a process id can be reused once its process is gone, and an
// orphan's parent id may name a newer, unrelated process. Children are
// ended as they are found and held until the table goes, so their own
// children are still recognised; snapshots repeat until one finds no new
// descendant. Returns how many were ended.
std::size_t end_descendants(ProcessTable& table, std::uint32_t root, std::int64_t root_created);

// Windows builds only, for tests: while set, the process runner acts as if
// every job refused its children, so it ends their trees through the
// process table instead.
void refuse_tree_jobs_for_testing(bool refuse);

}  // namespace corvane::platform
