#include "platform/handle_budget.h"

namespace corvane::platform {

bool HandleBudget::try_take(std::size_t count) {
  std::size_t taken = taken_.load(std::memory_order_relaxed);
  do {
    if (count > limit_ - taken) return false;
  } while (!taken_.compare_exchange_weak(taken, taken + count, std::memory_order_acq_rel));
  std::size_t now = taken + count;
  std::size_t most = most_.load(std::memory_order_relaxed);
  while (now > most && !most_.compare_exchange_weak(most, now, std::memory_order_relaxed)) {
  }
  return true;
}

void HandleBudget::give_back(std::size_t count) { taken_.fetch_sub(count, std::memory_order_acq_rel); }

}  // namespace corvane::platform
