// POSIX systems other than Linux list with the portable listing and stat
// with the portable call, as they are.
#include "platform/dir_walk.h"
#include "platform/stat_posix.h"

namespace corvane::platform {

std::unique_ptr<ListingSource> native_listing() { return portable_listing(); }

int entry_facts(int dir, const char* name, bool follow, EntryFacts& out) {
  return portable_entry_facts(dir, name, follow, out);
}

}  // namespace corvane::platform
