#include "platform/process_tree.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace corvane::platform {
namespace {

TEST(LaunchInJobTest, BreaksAwayOnlyWhenTheJobRefusesAndNeverLeavesAnEscapee) {
  struct Case {
    std::string name;
    bool create_first, join_first, create_second, join_second;
    std::optional<Launched> expected;
    std::string calls;  // c = create (b: breaking away), j = join, d = discard, with the slot
  };
  const Case cases[] = {
      {"joins at once", true, true, false, false, Launched{0, true}, "c0 j0"},
      {"breaks away", true, false, true, true, Launched{1, true}, "c0 j0 cb1 j1 d0"},
      {"no breakaway allowed", true, false, false, false, Launched{0, false}, "c0 j0 cb1"},
      {"refused twice", true, false, true, false, Launched{0, false}, "c0 j0 cb1 j1 d1"},
      {"cannot start", false, false, false, false, std::nullopt, "c0"},
  };
  for (const Case& c : cases) {
    std::string calls;
    auto note = [&](const std::string& call) { calls += (calls.empty() ? "" : " ") + call; };
    JobLaunch steps{[&](int slot, bool breakaway) {
                      note(std::string(breakaway ? "cb" : "c") + std::to_string(slot));
                      return slot == 0 ? c.create_first : c.create_second;
                    },
                    [&](int slot) {
                      note("j" + std::to_string(slot));
                      return slot == 0 ? c.join_first : c.join_second;
                    },
                    [&](int slot) { note("d" + std::to_string(slot)); }};
    std::optional<Launched> got = launch_in_job(steps);
    EXPECT_EQ(got.has_value(), c.expected.has_value()) << c.name;
    if (got && c.expected) {
      EXPECT_EQ(got->slot, c.expected->slot) << c.name;
      EXPECT_EQ(got->in_job, c.expected->in_job) << c.name;
    }
    EXPECT_EQ(calls, c.calls) << c.name;
  }
}

// A small machine whose process ids are few and reused at once, where
// processes are born and die while a tree is being ended, and where a
// process listed can be gone, its id taken by another, by the time it is
// opened.
class World final : public ProcessTable {
 public:
  struct Process {
    std::uint32_t pid;
    int creator;  // index; -1 for one created from outside this machine's processes
    std::int64_t created;
    bool alive = true;
    bool held = false;
    bool ended = false;  // by the tree kill
  };

  explicit World(std::uint64_t seed) : random_(seed) {
    processes_.push_back(Process{1, -1, ++clock_});
    processes_[0].held = true;  // the caller holds the root
    for (int i = 0; i < 40; ++i) step(0.6, 0.3);
    processes_[0].alive = false;  // it has exited, or was ended, when its tree is
  }

  std::vector<ProcessRow> snapshot(std::int64_t& taken_at) override {
    step(0.3, 0.2);
    taken_at = taken_at_ = clock_;
    std::vector<ProcessRow> rows;
    for (const Process& p : processes_) {
      if (!p.alive) continue;
      rows.push_back(ProcessRow{p.pid, creator_pid(p)});
    }
    return rows;
  }

  std::optional<Held> hold(std::uint32_t pid) override {
    int at = find_alive(pid);
    if (at >= 0 && !processes_[at].held && chance(0.25)) {
      // Gone between the snapshot and the open; another takes its id, at
      // times within the same tick of the clock as the snapshot.
      processes_[at].alive = false;
      processes_.push_back(Process{pid, pick_creator(), chance(0.5) ? taken_at_ : ++clock_});
      at = static_cast<int>(processes_.size()) - 1;
    }
    if (at < 0) return std::nullopt;
    processes_[at].held = true;
    const Process& p = processes_[at];
    // Sometimes the process will not say who created it; then only time
    // can tell, which is sharp enough when the clock has moved on.
    if (p.created > taken_at_ && chance(0.2)) return Held{p.created, std::nullopt};
    return Held{p.created, creator_pid(p)};
  }

  void drop(std::uint32_t pid) override {
    for (Process& p : processes_) {
      if (p.pid == pid && p.held && &p != &processes_[0]) p.held = false;
    }
  }

  void end(std::uint32_t pid) override {
    for (Process& p : processes_) {
      if (p.pid == pid && p.held && p.alive && &p != &processes_[0]) {
        p.alive = false;
        p.ended = true;
      }
    }
  }

  // A descendant of the root by creation, whatever became of the processes between.
  bool descends_from_root(int i) const {
    for (int at = processes_[i].creator; at >= 0; at = processes_[at].creator) {
      if (at == 0) return true;
    }
    return false;
  }
  // A descendant that a tree kill can still see: every process between it
  // and the root is alive or was ended (and held) by the kill.
  bool reachable_from_root(int i) const {
    for (int at = processes_[i].creator; at >= 0; at = processes_[at].creator) {
      if (at == 0) return true;
      if (!processes_[at].alive && !processes_[at].ended) return false;
    }
    return false;
  }
  const std::vector<Process>& processes() const { return processes_; }

 private:
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
  // The id its creator had; 0 (no process here) for one from outside.
  std::uint32_t creator_pid(const Process& p) const {
    return p.creator >= 0 ? processes_[p.creator].pid : 0;
  }

  int find_alive(std::uint32_t pid) const {
    for (std::size_t i = 0; i < processes_.size(); ++i) {
      if (processes_[i].pid == pid && processes_[i].alive) return static_cast<int>(i);
    }
    return -1;
  }
  // Any living process may create one, the root's descendants included.
  int pick_creator() {
    if (chance(0.15)) return -1;
    std::vector<int> alive;
    for (std::size_t i = 0; i < processes_.size(); ++i) {
      if (processes_[i].alive) alive.push_back(static_cast<int>(i));
    }
    return alive[std::uniform_int_distribution<std::size_t>(0, alive.size() - 1)(random_)];
  }
  // Births take the lowest free id, as reuse is quickest that way; deaths
  // spare the root and what is held.
  void step(double birth, double death) {
    if (chance(birth)) {
      for (std::uint32_t pid = 1; pid <= kPids; ++pid) {
        bool taken = false;
        for (const Process& p : processes_) taken = taken || (p.pid == pid && (p.alive || p.held));
        if (taken) continue;
        int creator = pick_creator();
        processes_.push_back(Process{pid, creator, ++clock_});
        break;
      }
    }
    if (processes_.size() > 1 && chance(death)) {
      Process& p =
          processes_[std::uniform_int_distribution<std::size_t>(1, processes_.size() - 1)(random_)];
      if (!p.held) p.alive = false;
    }
  }

  static constexpr std::uint32_t kPids = 14;
  std::mt19937_64 random_;
  std::vector<Process> processes_;
  std::int64_t clock_ = 1000;
  std::int64_t taken_at_ = 0;
};

TEST(EndDescendantsTest, EndsEveryVisibleDescendantAndNothingElseOnRandomMachines) {
  for (std::uint64_t seed = 0; seed < 400; ++seed) {
    World world(seed);
    std::size_t ended = end_descendants(world, 1, world.processes()[0].created);
    std::size_t counted = 0;
    for (std::size_t i = 1; i < world.processes().size(); ++i) {
      const World::Process& p = world.processes()[i];
      int at = static_cast<int>(i);
      if (p.ended) {
        ++counted;
        EXPECT_TRUE(world.descends_from_root(at)) << "seed " << seed << ": ended pid " << p.pid;
      }
      if (p.alive) {
        EXPECT_FALSE(world.reachable_from_root(at)) << "seed " << seed << ": left pid " << p.pid;
      }
    }
    EXPECT_EQ(ended, counted) << seed;
  }
}

}  // namespace
}  // namespace corvane::platform
