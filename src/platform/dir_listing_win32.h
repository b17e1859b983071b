// What the two Windows listings (FindFirstFileExW, and directory handles for
// allocation sizes) share: how a root and a path below a listed folder are
// made. For the Windows implementation files only.
#pragma once

#include <string>
#include <string_view>

#include "platform/dir_walk.h"

namespace corvane::platform {

// A walk's root as the \\?\ path of the folder to list, ending in '\'. ""
// fails as a missing path (it would otherwise name the current drive's root).
Result<std::wstring> listing_root(std::string_view root);

// For a warmer: the folder `relative` (raw names joined by '\') below the
// listed folder `base` (ending in '\'), without a trailing '\'; refused when
// `entry`'s data is not on this disk, or when the folder has become a
// reparse point since it was listed.
Result<std::wstring> listing_below(const std::wstring& base, std::string_view relative,
                                   const ListingSource::Entry& entry);

}  // namespace corvane::platform
