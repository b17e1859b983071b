// The C runtime's heap gives its free blocks back with _heapmin.
#include <malloc.h>

#include "platform/runtime.h"

namespace corvane::runtime {

void return_freed_memory() { _heapmin(); }

}  // namespace corvane::runtime
