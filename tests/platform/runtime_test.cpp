#include "platform/runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
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

TEST(ParallelPoolTest, EveryIndexRunsExactlyOnceAcrossRepeatedLoops) {
  ParallelPool pool(3);
  for (std::size_t count : {0u, 1u, 2u, 7u, 1000u}) {
    std::vector<std::atomic<int>> hits(count);
    pool.for_each_index(count, [&](std::size_t i) { hits[i]++; });
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i << " of " << count;
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
