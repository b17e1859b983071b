#include "platform/process_tree.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace corvane::platform {
namespace {

TEST(LaunchInJobTest, BreaksAwayOnlyWhenTheJobRefusesAndNeverLeavesAnEscapee) {
  // Answers of create 0, join 0, create 1 (breaking away), join 1; the calls made; the outcome.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"yy", "c0 j0", "0 in job"},     {"ynyy", "c0 j0 cb1 j1 d0", "1 in job"},
      {"ynn", "c0 j0 cb1", "0 alone"}, {"ynyn", "c0 j0 cb1 j1 d1", "0 alone"},
      {"n", "c0", "not started"},
  };
  for (const auto& [answers, expected_calls, expected] : cases) {
    std::string calls;
    std::size_t asked = 0;
    auto answer = [&](std::string call) {
      calls += (calls.empty() ? "" : " ") + call;
      return answers.at(asked++) == 'y';
    };
    JobLaunch steps{
        [&](int slot, bool away) { return answer((away ? "cb" : "c") + std::to_string(slot)); },
        [&](int slot) { return answer("j" + std::to_string(slot)); },
        [&](int slot) { calls += " d" + std::to_string(slot); }};
    std::optional<Launched> got = launch_in_job(steps);
    EXPECT_EQ(
        got ? std::to_string(got->slot) + (got->in_job ? " in job" : " alone") : "not started",
        expected);
    EXPECT_EQ(calls, expected_calls) << answers;
  }
}

// A machine with few process ids, reused at once, where processes are born
// and die while a tree is ended, and a process listed may be gone, its id
// taken by another (at times within the snapshot's clock tick), by the
// time it is opened. The root (index 0) has ended and is held.
class World final : public ProcessTable {
 public:
  struct Process {
    std::uint32_t pid;
    int creator;  // index; -1: from outside, listed with creator id 0
    std::int64_t created;
    bool alive = true, held = false, ended = false;
  };

  explicit World(std::uint64_t seed) : random_(seed) {
    all_.push_back(Process{1, -1, ++clock_, true, true});
    for (int i = 0; i < 40; ++i) step(0.6, 0.3);
    all_[0].alive = false;
  }

  std::vector<ProcessRow> snapshot(std::int64_t& taken_at) override {
    step(0.3, 0.2);
    taken_at = taken_at_ = clock_;
    std::vector<ProcessRow> rows;
    for (const Process& p : all_) {
      if (p.alive) rows.push_back(ProcessRow{p.pid, creator_pid(p)});
    }
    return rows;
  }
  std::optional<Held> hold(std::uint32_t pid) override {
    int at = -1;
    for (std::size_t i = 0; i < all_.size(); ++i) {
      if (all_[i].pid == pid && all_[i].alive) at = int(i);
    }
    if (at >= 0 && !all_[at].held && chance(0.25)) {
      all_[at].alive = false;
      all_.push_back(Process{pid, pick_creator(), chance(0.5) ? taken_at_ : ++clock_});
      at = int(all_.size()) - 1;
    }
    if (at < 0) return std::nullopt;
    all_[at].held = true;
    // Some will not say who created them; only time tells those apart.
    if (all_[at].created > taken_at_ && chance(0.2)) return Held{all_[at].created, std::nullopt};
    return Held{all_[at].created, creator_pid(all_[at])};
  }
  void drop(std::uint32_t pid) override {
    for (std::size_t i = 1; i < all_.size(); ++i) all_[i].held = all_[i].held && all_[i].pid != pid;
  }
  void end(std::uint32_t pid) override {
    for (std::size_t i = 1; i < all_.size(); ++i) {
      if (all_[i].pid == pid && all_[i].held && all_[i].alive) all_[i].ended = true;
      all_[i].alive = all_[i].alive && !all_[i].ended;
    }
  }

  // Created by the root, through any chain; `visible`: a chain of processes
  // still alive or ended (held) by the kill, which a tree kill can follow.
  bool descends(int i, bool visible) const {
    for (int at = all_[i].creator; at >= 0; at = all_[at].creator) {
      if (at == 0) return true;
      if (visible && !all_[at].alive && !all_[at].ended) return false;
    }
    return false;
  }
  const std::vector<Process>& all() const { return all_; }

 private:
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
  std::uint32_t creator_pid(const Process& p) const {
    return p.creator >= 0 ? all_[p.creator].pid : 0;
  }
  int pick_creator() {
    std::vector<int> alive;
    for (std::size_t i = 0; i < all_.size(); ++i) {
      if (all_[i].alive) alive.push_back(int(i));
    }
    if (alive.empty() || chance(0.15)) return -1;
    return alive[std::uniform_int_distribution<std::size_t>(0, alive.size() - 1)(random_)];
  }
  // A birth takes the lowest free id; a death spares the root and the held.
  void step(double birth, double death) {
    for (std::uint32_t pid = 1; pid <= 14 && chance(birth); ++pid) {
      bool taken = false;
      for (const Process& p : all_) taken = taken || (p.pid == pid && (p.alive || p.held));
      if (!taken) {
        all_.push_back(Process{pid, pick_creator(), ++clock_});
        break;
      }
      birth = 1;
    }
    Process& p = all_[std::uniform_int_distribution<std::size_t>(0, all_.size() - 1)(random_)];
    if (chance(death) && !p.held) p.alive = false;
  }

  std::mt19937_64 random_;
  std::vector<Process> all_;
  std::int64_t clock_ = 1000, taken_at_ = 0;
};

TEST(EndDescendantsTest, EndsEveryVisibleDescendantAndNothingElseOnRandomMachines) {
  for (std::uint64_t seed = 0; seed < 400; ++seed) {
    World world(seed);
    std::size_t ended = end_descendants(world, 1, world.all()[0].created), counted = 0;
    for (std::size_t i = 1; i < world.all().size(); ++i) {
      const World::Process& p = world.all()[i];
      counted += p.ended;
      EXPECT_TRUE(!p.ended || world.descends(int(i), false))
          << "seed " << seed << " ended pid " << p.pid;
      EXPECT_FALSE(p.alive && world.descends(int(i), true))
          << "seed " << seed << " left pid " << p.pid;
    }
    EXPECT_EQ(ended, counted) << seed;
  }
}

}  // namespace
}  // namespace corvane::platform
