// Other POSIX allocators have no common call for it: nothing to do.
#include "platform/runtime.h"

namespace corvane::runtime {

void return_freed_memory() {}

}  // namespace corvane::runtime
