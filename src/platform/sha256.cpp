#include "platform/sha256.h"

#include <atomic>

namespace corvane::platform {

namespace {

// Written only while nothing hashes (see set_sha256_fault_for_testing); the
// flag keeps the real provider's path to one atomic load.
std::function<bool(Sha256Step)> g_sha256_fault;
std::atomic<bool> g_sha256_fault_set{false};

}  // namespace

void set_sha256_fault_for_testing(std::function<bool(Sha256Step)> fault) {
  g_sha256_fault_set.store(false, std::memory_order_release);
  g_sha256_fault = std::move(fault);
  g_sha256_fault_set.store(static_cast<bool>(g_sha256_fault), std::memory_order_release);
}

bool sha256_step_allowed(Sha256Step step) {
  return !g_sha256_fault_set.load(std::memory_order_acquire) || !g_sha256_fault(step);
}

}  // namespace corvane::platform
