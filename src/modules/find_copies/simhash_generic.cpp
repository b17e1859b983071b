// Processors without a SIMD kernel use the portable one.
#include "modules/find_copies/simhash_kernel.h"

namespace corvane::find_copies::detail {

ChunkKernel simd_chunk_kernel() { return nullptr; }

}  // namespace corvane::find_copies::detail
