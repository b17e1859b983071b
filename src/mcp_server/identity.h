// Who the server says it is, and where its product lives.
#pragma once

#include <string_view>

#include "version.h"

namespace corvane::mcp {

inline constexpr std::string_view kProtocolVersion = "2024-11-05";
inline constexpr std::string_view kServerName = "corvane";
inline constexpr std::string_view kServerVersion = CORVANE_VERSION;
inline constexpr std::string_view kHomePageUrl = "https://corvane.app";
inline constexpr std::string_view kDownloadPageUrl = "https://corvane.app/download";

}  // namespace corvane::mcp
