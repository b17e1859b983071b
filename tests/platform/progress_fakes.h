// Test doubles for progress reporting: a sink that records events and a
// clock that tests move by hand.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/progress.h"

namespace corvane::testing {

using platform::Clock;
using platform::ProgressEvent;
using platform::ProgressSink;
using platform::StopSignal;

class RecordingSink final : public ProgressSink {
 public:
  void deliver(const ProgressEvent& event) override {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
    grew_.notify_all();
  }
  std::vector<ProgressEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<std::string> stages() const {
    std::vector<std::string> out;
    for (const ProgressEvent& e : events()) out.push_back(e.stage);
    return out;
  }
  void wait_for(std::size_t count) {
    std::unique_lock lock(mutex_);
    grew_.wait(lock, [&] { return events_.size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable grew_;
  std::vector<ProgressEvent> events_;
};

// Time moves only by advance() and by sleeps, which return at once (after
// the on_sleep hook) until the sleep budget is spent; past it a sleep waits
// for its stop request.
class FakeClock final : public Clock {
 public:
  time_point now() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void advance(duration d) {
    std::lock_guard lock(mutex_);
    now_ += d;
  }
  bool sleep_for(duration interval, StopSignal& stop) override {
    std::function<void(int)> hook;
    int n;
    bool wait_for_stop;
    {
      std::lock_guard lock(mutex_);
      n = ++sleeps_;
      wait_for_stop = budget_ >= 0 && n > budget_;
      if (!wait_for_stop) now_ += interval;
      hook = hook_;
    }
    if (wait_for_stop) {
      stop.wait();
      std::lock_guard lock(mutex_);
      saw_stop_ = true;
      return false;
    }
    if (hook) hook(n);
    return !stop.requested();
  }
  void set_sleep_budget(int sleeps) {
    std::lock_guard lock(mutex_);
    budget_ = sleeps;
  }
  void on_sleep(std::function<void(int)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
  }
  int sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }
  bool saw_stop() const {
    std::lock_guard lock(mutex_);
    return saw_stop_;
  }

 private:
  mutable std::mutex mutex_;
  time_point now_{};
  int sleeps_ = 0;
  int budget_ = -1;
  bool saw_stop_ = false;
  std::function<void(int)> hook_;
};

}  // namespace corvane::testing
