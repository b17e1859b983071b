// Elsewhere on POSIX a nice value belongs to the whole process, and lowering
// it would slow the server itself: threads keep their priority.
#include "platform/runtime.h"

namespace corvane::runtime {

void lower_this_thread_priority() {}

}  // namespace corvane::runtime
