// The open handles one tool call may hold at once, as one count that every
// walk, warmer and hand-over between walkers of the call takes from and
// gives back to, whatever the number of threads walking.
#pragma once

#include <atomic>
#include <cstddef>

namespace corvane::platform {

// Handles one call holds at most: walks, warmers and folders handed between
// walkers together. Deeper ancestors keep their unread entries in memory
// instead, so neither handles nor buffers grow with depth or threads.
inline constexpr std::size_t kMaxOpenListings = 48;

// Thread-safe; it must outlive every walk that takes from it.
class HandleBudget {
 public:
  explicit HandleBudget(std::size_t limit = kMaxOpenListings) : limit_(limit) {}
  HandleBudget(const HandleBudget&) = delete;
  HandleBudget& operator=(const HandleBudget&) = delete;

  // Takes `count` handles if that many are free; otherwise takes none and
  // returns false. Never waits.
  bool try_take(std::size_t count);
  // Gives back `count` handles taken before.
  void give_back(std::size_t count);

  std::size_t limit() const { return limit_; }
  // The most taken at once so far, for tests.
  std::size_t most_taken() const { return most_.load(); }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> taken_{0};
  std::atomic<std::size_t> most_{0};
};

}  // namespace corvane::platform
