#include "platform/runtime.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <typeinfo>

namespace corvane::runtime {

// ---- BlockingPool ----------------------------------------------------------

namespace {

std::thread start_std_thread(std::function<void()> body) { return std::thread(std::move(body)); }

}  // namespace

BlockingPool::BlockingPool(std::size_t max_threads, ThreadStarter start_thread)
    : start_thread_(start_thread ? std::move(start_thread) : ThreadStarter(start_std_thread)),
      max_threads_(std::max<std::size_t>(1, max_threads)) {
  // Room for every thread up front: keeping a started thread never fails.
  threads_.reserve(max_threads_);
  // One thread up front, so that a machine that cannot start threads is found
  // at start-up rather than at the first tool call.
  std::lock_guard lock(mutex_);
  if (Status started = start_thread_locked(); !started.ok()) throw std::runtime_error(started.error());
}

BlockingPool::~BlockingPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

Status BlockingPool::submit(std::function<void()> task) {
  std::unique_lock lock(mutex_);
  if (free_ <= queue_.size() && threads_.size() < max_threads_) {
    if (Status started = start_thread_locked(); !started.ok()) return started;
  }
  queue_.push_back(std::move(task));
  lock.unlock();
  wake_.notify_one();
  return ok_status();
}

Status BlockingPool::start_thread_locked() {
  std::thread thread;
  try {
    thread = start_thread_([this] { worker_loop(); });
  } catch (const std::exception& refused) {
    return make_error(refused.what());
  }
  threads_.push_back(std::move(thread));
  ++free_;
  return ok_status();
}

void BlockingPool::worker_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping and nothing left
    auto task = std::move(queue_.front());
    queue_.pop_front();
    --free_;
    lock.unlock();
    task();  // counts this thread free again itself (count_free)
    lock.lock();
  }
}

void BlockingPool::count_free() {
  std::lock_guard lock(mutex_);
  ++free_;
}

// ---- ParallelPool ----------------------------------------------------------

struct ParallelPool::Loop {
  std::size_t count;
  const std::function<void(std::size_t)>* body;
  std::size_t seats;       // threads that may take part, the caller's included
  std::size_t joined = 1;  // guarded by the pool's mutex
  std::atomic<std::size_t> next{0};
  std::mutex failure_mutex;
  std::exception_ptr failure;
};

ParallelPool::ParallelPool(std::size_t workers) {
  workers = std::max<std::size_t>(1, workers);
  workers_.reserve(workers);
  try {
    for (std::size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { worker_loop(); });
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
    throw;
  }
}

ParallelPool::~ParallelPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : workers_) t.join();
}

void ParallelPool::drain(Loop& loop) {
  for (;;) {
    std::size_t i = loop.next.fetch_add(1, std::memory_order_relaxed);
    if (i >= loop.count) return;
    try {
      (*loop.body)(i);
    } catch (...) {
      std::lock_guard lock(loop.failure_mutex);
      if (!loop.failure) loop.failure = std::current_exception();
      // Stop handing out further indices once one call has failed.
      loop.next.store(loop.count, std::memory_order_relaxed);
    }
  }
}

void ParallelPool::worker_loop() {
  std::size_t seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || (current_ != nullptr && generation_ != seen); });
    if (stopping_) return;
    seen = generation_;
    Loop* loop = current_;
    if (loop->joined >= loop->seats) continue;
    ++loop->joined;
    ++active_;
    lock.unlock();
    drain(*loop);
    lock.lock();
    if (--active_ == 0) done_.notify_all();
  }
}

void ParallelPool::for_each_index(std::size_t count, const std::function<void(std::size_t)>& body,
                                  std::size_t threads) {
  if (count == 0) return;
  std::lock_guard run_lock(run_mutex_);
  Loop loop;
  loop.count = count;
  loop.body = &body;
  loop.seats = std::max<std::size_t>(1, threads);
  {
    std::lock_guard lock(mutex_);
    current_ = &loop;
    ++generation_;
  }
  wake_.notify_all();
  drain(loop);
  {
    // Workers that picked the loop up must be out of it before it goes away.
    std::unique_lock lock(mutex_);
    current_ = nullptr;
    done_.wait(lock, [this] { return active_ == 0; });
  }
  if (loop.failure) std::rethrow_exception(loop.failure);
}

// ---- process-wide pools ----------------------------------------------------

namespace {

std::size_t logical_processors() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

struct Pools {
  std::mutex mutex;
  std::unique_ptr<ParallelPool> parallel;
  std::unique_ptr<BlockingPool> blocking;
  BlockingPool* left_blocking = nullptr;  // see stop_without_waiting
  ParallelPool* left_parallel = nullptr;
};

Pools& pools() {
  static Pools instance;
  return instance;
}

void build_locked(Pools& p) {
  std::size_t n = logical_processors();
  if (!p.parallel) p.parallel = std::make_unique<ParallelPool>(n);
  if (!p.blocking) p.blocking = std::make_unique<BlockingPool>(512 + n);
}

}  // namespace

Status start() {
  if (!arm_memory_reserve()) return make_error(std::generic_category().message(ENOMEM));
  Pools& p = pools();
  std::lock_guard lock(p.mutex);
  try {
    build_locked(p);
  } catch (const std::exception& refused) {
    p.blocking.reset();
    p.parallel.reset();
    return make_error(refused.what());
  }
  return ok_status();
}

void stop() {
  Pools& p = pools();
  std::lock_guard lock(p.mutex);
  p.blocking.reset();
  p.parallel.reset();
}

void stop_without_waiting() {
  Pools& p = pools();
  std::lock_guard lock(p.mutex);
  // Never destroyed, as their threads may still be running; held from the
  // process's own state, so that a leak checker sees them held.
  if (p.blocking) p.left_blocking = p.blocking.release();
  if (p.parallel) p.left_parallel = p.parallel.release();
}

BlockingPool& blocking_pool() {
  Pools& p = pools();
  std::lock_guard lock(p.mutex);
  build_locked(p);
  return *p.blocking;
}

ParallelPool& parallel_pool() {
  Pools& p = pools();
  std::lock_guard lock(p.mutex);
  build_locked(p);
  return *p.parallel;
}

namespace {

// Destroying a JSON array or object takes 16 bytes per element at once, so
// this covers payloads of up to about a million records. It is only address
// space: never touched, it costs no memory.
constexpr std::size_t kMemoryReserveBytes = std::size_t{16} << 20;

std::atomic<void*> memory_reserve{nullptr};

void release_memory_reserve() {
  std::free(memory_reserve.exchange(nullptr));
  throw std::bad_alloc();
}

}  // namespace

bool arm_memory_reserve() {
  if (memory_reserve.load() != nullptr) return true;
  void* reserve = std::malloc(kMemoryReserveBytes);
  if (reserve == nullptr) return false;
  void* none = nullptr;
  if (!memory_reserve.compare_exchange_strong(none, reserve)) std::free(reserve);
  std::set_new_handler(release_memory_reserve);
  return true;
}

std::string describe_exception(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return std::string("task ended by an exception: ") + e.what();
  } catch (...) {
    return "task ended by an exception of unknown type";
  }
}

}  // namespace corvane::runtime
