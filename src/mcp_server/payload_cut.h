// Fitting a payload's text into a reply of bounded size. A payload keeps
// its shape, keys and order; what gives way are its record lists: arrays
// whose elements are all objects with only plain values (files, folders,
// junk items, copy rows). Each such list keeps a prefix, and the object
// holding a list that lost records gains "truncated": true and
// "omitted_count", the records found but not listed (added to any count the
// tool already set for records it never kept).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "modules/tool_outcome.h"

namespace corvane::mcp {

// The pretty text of `payload` followed by `footer`, cut so that it takes at
// most `room` bytes escaped inside a JSON string. The room left once every
// record list is emptied is shared fairly: each list first gets an equal
// share, then what the lists left unused goes to the lists in text order.
// Only record lists are cut, so a payload whose other parts alone exceed
// the room stays too large.
std::string fitted_text(Json payload, std::string_view footer, std::size_t room);

}  // namespace corvane::mcp
