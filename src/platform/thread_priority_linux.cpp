// Linux gives every thread its own nice value.
#include <sys/resource.h>
#include <unistd.h>

#include "platform/runtime.h"

namespace corvane::runtime {

void lower_this_thread_priority() { (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10); }

}  // namespace corvane::runtime
