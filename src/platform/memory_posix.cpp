#include "platform/runtime.h"

namespace corvane::runtime {

// No portable call: the allocator keeps what it keeps.
void give_back_free_memory() {}

}  // namespace corvane::runtime
