// The process-wide thread pools the tools run on: a pool for blocking jobs
// (file-system walks, child processes) and a data-parallel pool with one
// worker per logical processor. Both are built once by the entry function.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/result.h"

namespace corvane::runtime {

// Threads are started on demand up to a cap and kept while work keeps coming.
class BlockingPool {
 public:
  explicit BlockingPool(std::size_t max_threads);
  ~BlockingPool();  // waits for queued jobs and joins every thread
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  // Runs `job` on a pool thread and waits for it. An exception that escapes
  // the job comes back as an Error holding its description; the pool itself
  // never throws from here except when no thread can be started at all.
  template <typename T>
  Result<T> run(std::function<T()> job);

 private:
  void submit(std::function<void()> task);
  void worker_loop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> threads_;
  std::size_t max_threads_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
};

// A fixed set of workers that, together with the calling thread, share out
// the indices of one parallel loop at a time.
class ParallelPool {
 public:
  explicit ParallelPool(std::size_t workers);
  ~ParallelPool();
  ParallelPool(const ParallelPool&) = delete;
  ParallelPool& operator=(const ParallelPool&) = delete;

  std::size_t worker_count() const { return workers_.size(); }

  // Calls body(i) for every i in [0, count), spread over the workers and the
  // caller, and returns when all calls have finished. The first exception a
  // call throws is rethrown here after the loop has drained. Loops from
  // different threads are serialised; a body must not start a nested loop.
  void for_each_index(std::size_t count, const std::function<void(std::size_t)>& body);

 private:
  struct Loop;
  void worker_loop();
  static void drain(Loop& loop);

  std::mutex run_mutex_;  // one loop at a time
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  Loop* current_ = nullptr;
  std::size_t generation_ = 0;
  std::size_t active_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// Builds both process-wide pools: one parallel worker per logical processor
// (at least one) and up to 512 plus that many blocking threads. Returns the
// system's error text when threads cannot be started.
Status start();
// Joins every pool thread. Safe to call when start() was never called.
void stop();

// The process-wide pools. When start() has not run (unit tests), they are
// built on first use.
BlockingPool& blocking_pool();
ParallelPool& parallel_pool();

// Text for an exception that ended a job.
std::string describe_exception(const std::exception_ptr& failure);

template <typename T>
Result<T> BlockingPool::run(std::function<T()> job) {
  std::mutex done_mutex;
  std::condition_variable done;
  bool finished = false;
  std::optional<T> value;
  std::string failure;
  submit([&] {
    try {
      value.emplace(job());
    } catch (...) {
      failure = describe_exception(std::current_exception());
    }
    std::lock_guard lock(done_mutex);
    finished = true;
    done.notify_one();
  });
  std::unique_lock lock(done_mutex);
  done.wait(lock, [&] { return finished; });
  if (value) return std::move(*value);
  return make_error(std::move(failure));
}

}  // namespace corvane::runtime
