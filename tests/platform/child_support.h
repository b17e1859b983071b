// What the test children need from the system: their arguments exactly as
// the parent's command line carried them, and their process id.
#pragma once

#include <string>
#include <vector>

namespace corvane::test {

// argv[0] first. On Windows the arguments come from CommandLineToArgvW, as
// PowerShell's own parser would see them, converted to UTF-8.
std::vector<std::string> child_arguments(int argc, char** argv);

long child_process_id();

// Windows: the process's error mode (GetErrorMode), which a child inherits;
// 0 elsewhere.
unsigned long child_error_mode();

// Starts a process that inherits this one's standard output and error and
// only waits, for ever, holding them open. Returns its id, or -1.
long start_pipe_holder();

}  // namespace corvane::test
