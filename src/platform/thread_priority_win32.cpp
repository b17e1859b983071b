#include <windows.h>

#include "platform/runtime.h"

namespace corvane::runtime {

void lower_this_thread_priority() { (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

}  // namespace corvane::runtime
