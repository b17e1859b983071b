#include "platform/process.h"

namespace corvane::platform {

namespace {

bool needs_quotes(std::string_view argument) {
  return argument.empty() || argument.find_first_of(" \t\n\v\"") != std::string_view::npos;
}

// The convention CommandLineToArgvW reverses: inside quotes, a run of
// backslashes is literal unless a quote follows it, in which case each
// backslash is doubled and the quote escaped.
void append_quoted(std::string& line, std::string_view argument) {
  if (!needs_quotes(argument)) {
    line += argument;
    return;
  }
  line += '"';
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      line.append(backslashes * 2 + 1, '\\');
    } else {
      line.append(backslashes, '\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, '\\');
  line += '"';
}

}  // namespace

std::string windows_command_line(const std::vector<std::string>& argv) {
  std::string line;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i == 0) {
      // The program name is split by quotes alone, without backslash rules.
      line += '"';
      line += argv[0];
      line += '"';
      continue;
    }
    line += ' ';
    append_quoted(line, argv[i]);
  }
  return line;
}

}  // namespace corvane::platform
