// What the server remembers between requests: the protocol version the
// client's last "initialize" settled on. It decides what the catalogue,
// tool results and progress notifications carry; nothing else outlives a
// request.
#pragma once

#include <cstdint>
#include <string_view>

#include "modules/tool_outcome.h"

namespace corvane::mcp {

// The protocol versions the server speaks, oldest first.
enum class ProtocolVersion : std::uint8_t { v2024_11_05, v2025_06_18, v2025_11_25 };

std::string_view version_text(ProtocolVersion version);

// The version an "initialize" whose params are `params` is answered with:
// the client's "protocolVersion" when the server speaks it; else, for a
// date (YYYY-MM-DD), the newest version not newer than it, or the oldest
// when every one is newer; 2024-11-05 when the value is absent, not a
// string or not a date.
ProtocolVersion negotiate_version(const Json& params);

// Titles, annotations, output schemas, structured results and progress
// messages came with 2025-06-18.
inline bool gives_structured_results(ProtocolVersion version) { return version >= ProtocolVersion::v2025_06_18; }

// Requests before any "initialize" are answered as in a 2024-11-05
// session; each "initialize" sets the version anew.
struct Session {
  ProtocolVersion version = ProtocolVersion::v2024_11_05;
};

}  // namespace corvane::mcp
