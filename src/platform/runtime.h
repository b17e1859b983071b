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

// Starts a thread running `body`, or throws (std::system_error, or
// std::bad_alloc) when the system refuses one. Tests put a refusing one in.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// Threads are started on demand up to a cap and kept while work keeps coming.
class BlockingPool {
 public:
  // A default `start_thread` starts plain std::threads. Throws when not even
  // the first thread can be started.
  explicit BlockingPool(std::size_t max_threads, ThreadStarter start_thread = {});
  ~BlockingPool();  // waits for queued jobs and joins every thread
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  // Runs `job` on a pool thread and waits for it. An exception that escapes
  // the job comes back as an Error holding its description. When no thread
  // is free and none can be started, or the memory reserve cannot be taken,
  // the job never runs and the Error says so. Only running out of memory in
  // the caller's own thread throws.
  template <typename T>
  Result<T> run(std::function<T()> job);

 private:
  // Queues `task` only when a thread will take it: a free one, one started
  // for it now, or (at the cap) the next one to finish. Otherwise nothing is
  // queued and the error is the system's refusal.
  Status submit(std::function<void()> task);
  Status start_thread_locked();
  // A task calls this once its work is done and before its caller can see
  // the result: a caller that submits again at once then finds the thread
  // free instead of asking for a new one (which a thread limit may refuse).
  void count_free();
  void worker_loop();

  ThreadStarter start_thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> threads_;
  std::size_t max_threads_;
  std::size_t free_ = 0;  // threads not running a task, started or waiting
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
  // caller (`threads` of them at most, the caller included), and returns
  // when all calls have finished. The first exception a call throws is
  // rethrown here after the loop has drained. Loops from different threads
  // are serialised; a body must not start a nested loop.
  void for_each_index(std::size_t count, const std::function<void(std::size_t)>& body,
                      std::size_t threads = static_cast<std::size_t>(-1));

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
// For a process that ends while a pool thread may be held in the kernel
// for good (a read from a mount that stopped answering): lets the pools go
// without joining or destroying them, so that exit waits for nothing and
// such a thread never touches freed memory. Later calls build new pools.
void stop_without_waiting();

// Address space kept aside for the clean-up after an allocation fails.
// Unwinding out of a failed allocation may allocate again (destroying a
// JSON array or object does), and a failure there, inside a destructor,
// would end the process. While the reserve is held, a failed allocation
// first gives it back and then fails as usual, so the clean-up has room.
// Takes the reserve again when it was spent and memory allows; cheap when
// it is held. Returns whether it is held. start() and every job need it;
// the reader of the input takes it again when it can.
bool arm_memory_reserve();

// The process-wide pools. When start() has not run (unit tests), they are
// built on first use.
BlockingPool& blocking_pool();
ParallelPool& parallel_pool();

// A thread with a small stack (1 MiB), for helpers that do little but
// system calls: a walk's walkers. A process under an address-space limit
// can afford many of these where it could not afford threads of the
// default 8 MiB.
class LightThread {
 public:
  // Throws std::system_error when the system refuses the thread.
  explicit LightThread(std::function<void()> body);
  LightThread(LightThread&& other) noexcept;
  LightThread& operator=(LightThread&&) = delete;
  ~LightThread();  // joins it if join() was not called
  void join();

  static constexpr std::size_t kStackBytes = 1 << 20;

 private:
  void* handle_ = nullptr;  // the system's thread, until joined
};

// Lowers the calling thread's scheduling priority, for helper work that
// should only take the processor time the others leave (best effort; where
// the system cannot do it for one thread alone, nothing changes).
void lower_this_thread_priority();

// Hands the heap's free memory back to the system (best effort): for after
// a request that took hundreds of megabytes in small pieces, which the
// allocator would otherwise keep for the rest of the session, and for a
// task that let go of a large working set before building its reply, so
// the two never add up.
void give_back_free_memory();

// Text for an exception that ended a job.
std::string describe_exception(const std::exception_ptr& failure);

template <typename T>
Result<T> BlockingPool::run(std::function<T()> job) {
  if (!arm_memory_reserve()) return make_error("not enough memory to start the task");
  struct Call {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::optional<T> value;
    std::exception_ptr failure;  // taking it allocates nothing
  } call;
  // Runs on a pool thread, so nothing may escape it; the failure is only
  // described back here, where running out of memory is the caller's.
  Status submitted = submit([this, &call, &job]() noexcept {
    try {
      call.value.emplace(job());
    } catch (...) {
      call.failure = std::current_exception();
    }
    count_free();
    std::lock_guard lock(call.mutex);
    call.finished = true;
    call.done.notify_one();
  });
  if (!submitted.ok()) return make_error("no thread could be started for the task: " + submitted.error());
  std::unique_lock lock(call.mutex);
  call.done.wait(lock, [&] { return call.finished; });
  if (call.value) return std::move(*call.value);
  return make_error(describe_exception(call.failure));
}

}  // namespace corvane::runtime
