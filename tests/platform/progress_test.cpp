#include "platform/progress.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/progress_fakes.h"

namespace corvane::platform {
namespace {

using namespace std::chrono_literals;
using corvane::testing::FakeClock;
using corvane::testing::RecordingSink;

ProgressEvent event(std::string stage, std::uint64_t processed = 0) {
  return ProgressEvent{"mcp_1", std::move(stage), processed, 0};
}

TEST(ProgressReporterTest, ThrottlesOrdinaryEventsButAlwaysPassesDoneAndWarnings) {
  FakeClock clock;
  RecordingSink sink;
  ProgressReporter reporter(sink, clock);

  reporter.report(event("collecting"));  // the first always passes
  clock.advance(99ms);
  reporter.report(event("hashing", 1));  // too soon
  reporter.report(event("warning:SEARCH_DIR_PERMISSION_DENIED:/x"));
  clock.advance(60ms);
  reporter.report(event("hashing", 2));  // 60 ms after the warning that passed
  clock.advance(40ms);
  reporter.report(event("hashing", 3));  // exactly 100 ms: passes
  reporter.report(event("done"));
  reporter.report(event("done"));
  clock.advance(10ms);
  reporter.report(event("warningless"));  // begins with "warning": passes

  EXPECT_EQ(sink.stages(), (std::vector<std::string>{"collecting", "warning:SEARCH_DIR_PERMISSION_DENIED:/x",
                                                     "hashing", "done", "done", "warningless"}));
  EXPECT_EQ(sink.events()[2].processed, 3u);
}

TEST(ProgressReporterTest, ConcurrentReportsAreDeliveredOneAtATime) {
  RecordingSink sink;
  ProgressReporter reporter(sink, system_clock(), 0ms);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) reporter.report(event("hashing"));
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(sink.events().size(), 800u);
}

// The ticker under test must end by itself; a hang here is the failure.
void wait_until_finished(const ProgressTicker& ticker) {
  while (!ticker.finished()) std::this_thread::sleep_for(1ms);
}

class ProgressTickerTest : public ::testing::Test {
 protected:
  FakeClock clock;
  RecordingSink sink;
  ProgressReporter reporter{sink, clock};
  ProgressCounters counters;
  std::stop_source cancel;
};

TEST_F(ProgressTickerTest, ReportsHashingEachIntervalUntilStopped) {
  counters.processed = 2;
  clock.set_sleep_budget(3);  // the fourth sleep waits for the stop request
  ProgressTicker ticker(reporter, clock, counters, "mcp_7", "hashing", cancel.get_token());
  sink.wait_for(3);
  ticker.stop();
  ticker.stop();  // idempotent
  ASSERT_EQ(sink.events().size(), 3u);
  for (const ProgressEvent& e : sink.events()) {
    EXPECT_EQ(e.stage, "hashing");
    EXPECT_EQ(e.task_id, "mcp_7");
    EXPECT_EQ(e.processed, 2u);
    EXPECT_EQ(e.total, 0u);  // total 0 never counts as finished
  }
  EXPECT_TRUE(clock.saw_stop());
}

TEST_F(ProgressTickerTest, KeepsReportingAfterTheCountersReachTheirTotal) {
  // A task whose last step is counted only once done (one disk and its
  // slow smartctl run) still reports until its owner stops the ticker.
  counters.total = 1;
  clock.on_sleep([this](int n) {
    if (n == 3) counters.processed = 1;
  });
  clock.set_sleep_budget(6);
  ProgressTicker ticker(reporter, clock, counters, "mcp_7", "hashing", cancel.get_token());
  sink.wait_for(6);
  EXPECT_FALSE(ticker.finished());
  ticker.stop();
  std::vector<ProgressEvent> events = sink.events();
  ASSERT_EQ(events.size(), 6u);
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].processed, i < 2 ? 0u : 1u) << i;
    EXPECT_EQ(events[i].total, 1u);
  }
}

TEST_F(ProgressTickerTest, EndsWithoutReportingOnceTheSearchIsCancelled) {
  clock.on_sleep([this](int n) {
    if (n == 2) cancel.request_stop();
  });
  ProgressTicker ticker(reporter, clock, counters, "mcp_7", "hashing", cancel.get_token());
  wait_until_finished(ticker);
  EXPECT_EQ(sink.events().size(), 1u);
}

// A sink that runs out of memory, as delivering can when the process is
// near its limit.
class ExhaustedSink final : public ProgressSink {
 public:
  void deliver(const ProgressEvent&) override {
    ++calls;
    throw std::bad_alloc();
  }
  std::atomic<int> calls{0};
};

TEST_F(ProgressTickerTest, AnEventThatCannotBeDeliveredEndsTheTicksNotTheProcess) {
  ExhaustedSink exhausted;
  ProgressReporter failing{exhausted, clock};
  ProgressTicker ticker(failing, clock, counters, "mcp_7", "hashing", cancel.get_token());
  wait_until_finished(ticker);
  EXPECT_EQ(exhausted.calls.load(), 1);
  ticker.stop();
}

TEST(SystemClockTest, SleepEndsEarlyWhenStopIsRequested) {
  StopSignal stop;
  EXPECT_TRUE(system_clock().sleep_for(1ms, stop));
  std::jthread stopper([&] { stop.request(); });
  // An hour-long sleep that returns means the stop request cut it short.
  EXPECT_FALSE(system_clock().sleep_for(std::chrono::hours(1), stop));
  EXPECT_FALSE(system_clock().sleep_for(std::chrono::hours(1), stop));  // already requested
}

}  // namespace
}  // namespace corvane::platform
