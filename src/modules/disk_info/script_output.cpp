#include "modules/disk_info/script_output.h"

#include "platform/text.h"

namespace corvane::disk_info {

namespace {
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";  // U+FEFF
}  // namespace

std::vector<std::string_view> output_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (true) {
    std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // PowerShell starts its output with a byte order mark under some code
    // pages; it is not white space, and would hide the first line's tag.
    if (line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());
    lines.push_back(platform::trim_white_space(line));
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (true) {
    std::size_t bar = line.find('|');
    fields.push_back(line.substr(0, bar));
    if (bar == std::string_view::npos) break;
    line.remove_prefix(bar + 1);
  }
  return fields;
}

}  // namespace corvane::disk_info
