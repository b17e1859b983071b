#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <new>
#include <vector>

#include "platform/runtime.h"

namespace corvane::runtime {
namespace {

// A clean-up that needs memory, as destroying a JSON array or object does.
struct CleanUpThatAllocates {
  ~CleanUpThatAllocates() {
    std::vector<char> scratch;
    scratch.reserve(1 << 20);
  }
};

// In a child process: caps the address space, fills it with plain malloc
// (which never calls the new handler), then fails an allocation while an
// object whose clean-up allocates is alive. 0 when the unwinding finished.
int run_out_of_memory(bool armed) {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
  rlimit limit{cap, cap};
  if (pages <= 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) return 3;
  if (armed) {
    arm_memory_reserve();
  } else {
    std::set_new_handler(nullptr);
  }
  try {
    CleanUpThatAllocates alive;
    // Volatile, so that the compiler cannot leave out the allocations.
    void* volatile filler = nullptr;
    for (std::size_t chunk : {std::size_t{1} << 16, std::size_t{1} << 10, std::size_t{64}}) {
      do {
        filler = std::malloc(chunk);
      } while (filler != nullptr);
    }
    char* volatile more = new char[1 << 20];
    (void)more;
    return 2;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

// A sanitizer's allocator does not run under an address-space limit.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

TEST(MemoryReserveTest, CleanUpThatAllocatesFinishesAfterMemoryRanOut) {
  if (kSanitized) GTEST_SKIP() << "sanitizers need more address space than any limit leaves";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(run_out_of_memory(true)), ::testing::ExitedWithCode(0), "");
  // The same without the reserve ends the process: the case is real.
  EXPECT_EXIT(std::_Exit(run_out_of_memory(false)), ::testing::KilledBySignal(SIGABRT), "terminate called");
}

}  // namespace
}  // namespace corvane::runtime
