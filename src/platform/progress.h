// Progress and stopping, for any long-running task: the events, the sink
// they go to, a throttling reporter, the counters a task advances, and a
// ticker thread that reports them at a steady pace. The sink and the clock
// are interfaces so that tests can watch events and drive time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace corvane::platform {

// A task's last event. Events of this stage, and warnings, always pass the
// throttle.
inline constexpr std::string_view kStageDone = "done";
// The beginning of every warning's stage: "warning:CODE:path".
inline constexpr std::string_view kWarningStage = "warning";

struct ProgressEvent {
  std::string task_id;
  std::string stage;  // a task's own stage name, a warning, or "done"
  std::uint64_t processed = 0;
  std::uint64_t total = 0;
  std::string message = {};  // what a person reads of it; empty when nothing is said
};

// Where passed events go. Called from whichever thread reports, one event
// at a time (the reporter holds its lock while delivering).
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void deliver(const ProgressEvent& event) = 0;
};

// A sink for events nobody asked for.
class NullProgressSink final : public ProgressSink {
 public:
  void deliver(const ProgressEvent&) override {}
};

// A stop request that wakes a sleeping thread at once. A plain mutex and
// condition variable: waking through std::stop_token callbacks can be lost
// with the MinGW runtime (its semaphores miss wake-ups), hanging a join.
class StopSignal {
 public:
  void request();
  bool requested() const;
  // Waits up to `interval`; false when a stop was requested (before or during).
  bool wait_for(std::chrono::steady_clock::duration interval);
  // Waits until a stop is requested.
  void wait();

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool requested_ = false;
};

class Clock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  using duration = std::chrono::steady_clock::duration;
  virtual ~Clock() = default;
  virtual time_point now() = 0;
  // Waits `interval`, or less when `stop` is requested; returns false when
  // it was (the caller should end).
  virtual bool sleep_for(duration interval, StopSignal& stop) = 0;
};

// The steady clock, with a sleep that a stop request cuts short.
Clock& system_clock();

inline constexpr std::chrono::milliseconds kProgressInterval{100};

// Passes "done" and "warning..." events always, any other event only when
// at least `min_interval` has gone by since the last passed one (the first
// passes). Safe to call from several threads.
class ProgressReporter {
 public:
  ProgressReporter(ProgressSink& sink, Clock& clock, Clock::duration min_interval = kProgressInterval);
  void report(const ProgressEvent& event);

 private:
  ProgressSink& sink_;
  Clock& clock_;
  Clock::duration min_interval_;
  std::mutex mutex_;
  std::optional<Clock::time_point> last_passed_;
};

// How far a task has come: shared by the task, whoever reports on it, and
// the ticker.
struct ProgressCounters {
  std::atomic<std::uint64_t> processed{0};
  std::atomic<std::uint64_t> total{0};
  // The count at which the task's current stage began, so that a stage's
  // own share of both counts can be told (0 for a task of one stage).
  std::atomic<std::uint64_t> stage_start{0};
};

// What a long task is steered and watched through: the stop request it
// heeds and the counters it advances. A default one is never stopped and
// counts nowhere, so code that takes one works the same without a caller
// that watches.
struct TaskHooks {
  TaskHooks() = default;
  // A stop token alone steers a task that nobody watches.
  TaskHooks(std::stop_token stop_token, ProgressCounters* progress = nullptr)  // NOLINT: converts on purpose
      : stop(std::move(stop_token)), counters(progress) {}

  std::stop_token stop;
  ProgressCounters* counters = nullptr;

  bool stopped() const { return stop.stop_requested(); }
  void advance(std::uint64_t done = 1) const {
    if (counters) counters->processed.fetch_add(done, std::memory_order_relaxed);
  }
  void set_total(std::uint64_t total) const {
    if (counters) counters->total.store(total, std::memory_order_relaxed);
  }
  // A next stage of `stage_total` steps begins where the count stands: the
  // total becomes the count plus those steps. The start is stored first, so
  // whoever sees the new total sees where its stage began.
  void begin_stage(std::uint64_t stage_total) const {
    if (!counters) return;
    std::uint64_t start = counters->processed.load();
    counters->stage_start.store(start);
    counters->total.store(start + stage_total);
  }
  std::uint64_t processed() const { return counters ? counters->processed.load(std::memory_order_relaxed) : 0; }
};

// Reports `stage` with the counters every interval on a thread of its own
// until the task is stopped or stop() is called. Counters that reach their
// total do not end it: what follows the last step (building the reply, or
// a last step counted only once done) still deserves a sign of life. The
// destructor stops and joins, so the thread never outlives its owner. When no thread can be
// started, or an event cannot be built, there are simply no (more) ticks:
// nothing is thrown.
class ProgressTicker {
 public:
  ProgressTicker(ProgressReporter& reporter, Clock& clock, const ProgressCounters& counters, std::string task_id,
                 std::string stage, std::stop_token cancel, Clock::duration interval = kProgressInterval);
  ~ProgressTicker();
  ProgressTicker(const ProgressTicker&) = delete;
  ProgressTicker& operator=(const ProgressTicker&) = delete;

  // Asks the thread to end and waits for it. Idempotent.
  void stop();
  // Whether the thread has ended by itself or by stop().
  bool finished() const { return finished_.load(); }

 private:
  void run();

  ProgressReporter& reporter_;
  Clock& clock_;
  const ProgressCounters& counters_;
  std::string task_id_;
  std::string stage_;
  std::stop_token cancel_;
  Clock::duration interval_;
  std::atomic<bool> finished_{false};
  StopSignal stop_;
  std::jthread thread_;  // started in the constructor, after every member it reads
};

}  // namespace corvane::platform
