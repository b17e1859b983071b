// A payload's copies in a reply, and fitting them into a reply of bounded
// size. A payload keeps its shape, keys and order; what gives way are its
// record lists: arrays whose elements are all objects with only plain
// values (files, folders, disks, junk items, copy rows). Each such list
// keeps a prefix, the same one in both copies, and the object holding a
// list that lost records gains "truncated": true and "omitted_count", the
// records found but not listed (added to any count the tool already set for
// records it never kept).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "modules/tool_outcome.h"

namespace corvane::mcp {

// How a payload is written into a reply.
struct ResultForm {
  std::string_view footer = {};    // appended to the text
  std::string_view list_key = {};  // an array payload's member in the structured copy; its noun in the cut line
  bool structured = false;    // whether the reply carries the structured copy
};

// The text (pretty JSON, then the footer) and, when the form asks for it,
// the structured copy: an object payload itself, an array payload as the
// only member, `list_key`, of an object. A cut array payload has no object
// in its text to mark, so its text says so on a line after the footer,
// while its structured copy's object is marked as any other holder.
struct PayloadCopies {
  std::string text;
  std::optional<Json> structured;
};

// The copies of `payload` as they are.
PayloadCopies payload_copies(const Json& payload, const ResultForm& form);

// The copies of `payload` with its record lists cut so that the text (as
// escaped inside a JSON string) and the structured copy (compact) take at
// most `room` bytes together. The room left once every record list is
// emptied is shared fairly: each list first gets an equal share, then what
// the lists left unused goes to the lists in text order. Only record lists
// are cut, so a payload whose other parts alone exceed the room stays too
// large.
PayloadCopies fitted_copies(Json payload, const ResultForm& form, std::size_t room);

}  // namespace corvane::mcp
