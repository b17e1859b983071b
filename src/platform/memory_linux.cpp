#include <malloc.h>

#include "platform/runtime.h"

namespace corvane::runtime {

// glibc gives back only the top of each arena by itself; this also returns
// the free pages inside them.
void give_back_free_memory() { (void)::malloc_trim(0); }

}  // namespace corvane::runtime
