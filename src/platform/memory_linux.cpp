// glibc keeps freed memory in each thread's arena; malloc_trim hands the
// free pages of every arena back.
#include <malloc.h>

#include "platform/runtime.h"

namespace corvane::runtime {

void return_freed_memory() { malloc_trim(0); }

}  // namespace corvane::runtime
