#include <malloc.h>

#include "platform/runtime.h"

namespace corvane::runtime {

void give_back_free_memory() { (void)_heapmin(); }

}  // namespace corvane::runtime
