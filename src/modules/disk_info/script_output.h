// The line and field rules the output of both disk-health scripts (and
// smartctl's messages) follows.
#pragma once

#include <string_view>
#include <vector>

namespace corvane::disk_info {

// The lines of `text`: split at LF, one CR ending a line dropped, a byte
// order mark (U+FEFF) that starts a line dropped, each line then trimmed
// of Unicode white space (platform::trim_white_space).
std::vector<std::string_view> output_lines(std::string_view text);

// The pieces of `line` between the "|" separators, untrimmed.
std::vector<std::string_view> split_fields(std::string_view line);

}  // namespace corvane::disk_info
