#include "platform/progress.h"

#include <utility>

namespace corvane::platform {

namespace {

class SteadyClock final : public Clock {
 public:
  time_point now() override { return std::chrono::steady_clock::now(); }
  bool sleep_for(duration interval, StopSignal& stop) override { return stop.wait_for(interval); }
};

bool always_passes(const std::string& stage) { return stage == kStageDone || stage.starts_with(kWarningStage); }

}  // namespace

void StopSignal::request() {
  {
    std::lock_guard lock(mutex_);
    requested_ = true;
  }
  wake_.notify_all();
}

bool StopSignal::requested() const {
  std::lock_guard lock(mutex_);
  return requested_;
}

bool StopSignal::wait_for(std::chrono::steady_clock::duration interval) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, interval, [this] { return requested_; });
}

void StopSignal::wait() {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return requested_; });
}

Clock& system_clock() {
  static SteadyClock clock;
  return clock;
}

ProgressReporter::ProgressReporter(ProgressSink& sink, Clock& clock, Clock::duration min_interval)
    : sink_(sink), clock_(clock), min_interval_(min_interval) {}

void ProgressReporter::report(const ProgressEvent& event) {
  std::lock_guard lock(mutex_);
  Clock::time_point now = clock_.now();
  if (!always_passes(event.stage) && last_passed_ && now - *last_passed_ < min_interval_) return;
  last_passed_ = now;
  sink_.deliver(event);
}

ProgressTicker::ProgressTicker(ProgressReporter& reporter, Clock& clock, const ProgressCounters& counters,
                               std::string task_id, std::string stage, std::stop_token cancel,
                               Clock::duration interval)
    : reporter_(reporter),
      clock_(clock),
      counters_(counters),
      task_id_(std::move(task_id)),
      stage_(std::move(stage)),
      cancel_(std::move(cancel)),
      interval_(interval) {
  // Progress never fails the task: without a thread to spare, it runs
  // without ticks.
  try {
    thread_ = std::jthread([this] { run(); });
  } catch (const std::exception&) {
    finished_.store(true);
  }
}

ProgressTicker::~ProgressTicker() { stop(); }

void ProgressTicker::stop() {
  if (!thread_.joinable()) return;
  stop_.request();
  thread_.join();
}

void ProgressTicker::run() {
  struct MarkFinished {
    std::atomic<bool>& flag;
    ~MarkFinished() { flag.store(true); }
  } mark{finished_};
  for (;;) {
    if (!clock_.sleep_for(interval_, stop_)) return;
    if (cancel_.stop_requested() || stop_.requested()) return;
    std::uint64_t processed = counters_.processed.load();
    std::uint64_t total = counters_.total.load();
    try {
      reporter_.report(ProgressEvent{task_id_, stage_, processed, total});
    } catch (const std::exception&) {
      return;  // out of memory for the event: no more ticks, the task goes on
    }
  }
}

}  // namespace corvane::platform
