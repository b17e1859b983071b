#include "platform/runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace corvane::runtime {
namespace {

TEST(BlockingPoolTest, JobsReturnValuesAndEscapedExceptionsBecomeErrors) {
  BlockingPool pool(4);
  Result<int> ok = pool.run<int>([] { return 42; });
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value(), 42);

  Result<int> failed = pool.run<int>([]() -> int { throw std::runtime_error("disk gone"); });
  ASSERT_FALSE(failed.ok());
  EXPECT_NE(failed.error().find("disk gone"), std::string::npos);

  Result<int> odd = pool.run<int>([]() -> int { throw 7; });
  ASSERT_FALSE(odd.ok());
  EXPECT_FALSE(odd.error().empty());

  // The pool keeps serving after failures, from several callers at once.
  std::vector<std::thread> callers;
  std::atomic<int> sum{0};
  for (int i = 0; i < 8; ++i) {
    callers.emplace_back([&, i] { sum += pool.run<int>([i] { return i; }).value(); });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(sum.load(), 28);
}

// Starts threads while `allowed` lasts, then refuses as a process limit does.
ThreadStarter limited_starter(std::atomic<int>& allowed) {
  return [&allowed](std::function<void()> body) {
    if (allowed.fetch_sub(1) <= 0) throw std::system_error(EAGAIN, std::generic_category());
    return std::thread(std::move(body));
  };
}

TEST(BlockingPoolTest, AJobThatNoThreadCanTakeFailsAtOnceNeverRunsAndThePoolServesOn) {
  std::atomic<int> allowed{1};
  BlockingPool pool(8, limited_starter(allowed));

  // The only thread is busy until released.
  std::mutex mutex;
  std::condition_variable changed;
  bool busy = false;
  bool released = false;
  std::thread holder([&] {
    Result<int> held = pool.run<int>([&] {
      std::unique_lock lock(mutex);
      busy = true;
      changed.notify_all();
      changed.wait(lock, [&] { return released; });
      return 1;
    });
    EXPECT_TRUE(held.ok());
  });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return busy; });
  }

  std::atomic<int> ran_late{0};
  for (int i = 0; i < 3; ++i) {
    Result<int> refused = pool.run<int>([&] { return ++ran_late; });
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().rfind("no thread could be started for the task: ", 0), 0u) << refused.error();
  }
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  changed.notify_all();
  holder.join();

  // The thread is free again and serves; what was refused never ran.
  EXPECT_EQ(pool.run<int>([] { return 3; }).value(), 3);
  EXPECT_EQ(ran_late.load(), 0);

  // With threads to spare again, a job may wait on one it starts itself.
  allowed = 100;
  Result<int> nested = pool.run<int>([&] { return pool.run<int>([] { return 4; }).value() + 1; });
  EXPECT_EQ(nested.value(), 5);

  // Not even the first thread: the pool cannot be built.
  std::atomic<int> none{0};
  EXPECT_THROW(BlockingPool(4, limited_starter(none)), std::exception);
}

TEST(ParallelPoolTest, EveryIndexRunsExactlyOnceAcrossRepeatedLoopsOnAtMostTheThreadsAllowed) {
  ParallelPool pool(8);
  for (std::size_t threads : {std::size_t{1}, std::size_t{3}, static_cast<std::size_t>(-1)}) {
    for (std::size_t count : {0u, 1u, 2u, 7u, 1000u}) {
      std::vector<std::atomic<int>> hits(count);
      std::atomic<std::size_t> inside{0}, most{0};
      pool.for_each_index(
          count,
          [&](std::size_t i) {
            std::size_t now = ++inside;
            for (std::size_t was = most.load(); was < now && !most.compare_exchange_weak(was, now);) {
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            hits[i]++;
            --inside;
          },
          threads);
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i << " of " << count;
      EXPECT_LE(most.load(), threads);
    }
  }
}

TEST(ParallelPoolTest, FirstFailureIsRethrownAfterTheLoopDrains) {
  ParallelPool pool(2);
  std::atomic<int> running{0};
  EXPECT_THROW(pool.for_each_index(100,
                                   [&](std::size_t i) {
                                     running++;
                                     if (i == 3) throw std::runtime_error("bad candidate");
                                     running--;
                                   }),
               std::runtime_error);
  // A later loop on the same pool is unaffected.
  std::atomic<int> seen{0};
  pool.for_each_index(10, [&](std::size_t) { seen++; });
  EXPECT_EQ(seen.load(), 10);
}

TEST(ProcessPoolsTest, StartStopAndLazyUseAreAllSafe) {
  ASSERT_TRUE(start().ok());
  EXPECT_GE(parallel_pool().worker_count(), 1u);
  EXPECT_EQ(blocking_pool().run<int>([] { return 5; }).value(), 5);
  stop();
  stop();
  // Used again without start(): built on demand.
  EXPECT_EQ(blocking_pool().run<int>([] { return 6; }).value(), 6);
  stop();
}

}  // namespace
}  // namespace corvane::runtime
