// POSIX systems other than Linux list with the portable listing as it is.
#include "platform/dir_walk.h"

namespace corvane::platform {

std::unique_ptr<ListingSource> native_listing() { return portable_listing(); }

}  // namespace corvane::platform
