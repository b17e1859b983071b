// Running a helper program (PowerShell, smartctl) as a child process and
// collecting what it prints. The child never sees the server's standard
// input, which carries the protocol, and can never hold the server up:
// both output pipes are drained while it runs and a time limit ends it.
#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace corvane::platform {

struct ProcessRequest {
  std::string program;                 // full path of the executable (UTF-8)
  std::vector<std::string> arguments;  // after the program name, each passed unchanged
  std::chrono::milliseconds time_limit{30000};
  // A stop request ends the child (with its descendants) as the time limit
  // does, within a few milliseconds.
  std::stop_token stop = {};
};

struct ProcessOutput {
  int exit_code = -1;         // the child's exit code; -1 when it did not exit normally
  std::string stdout_bytes;   // everything it printed before it ended or was killed
  std::string stderr_bytes;
  bool timed_out = false;     // the limit passed and the child (with its descendants) was killed
  bool stopped = false;       // a stop was requested and the child (with its descendants) was killed
};

// The narrow seam the disk tools use, so tests can put scripted children in
// place of real ones.
class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;
  // Runs the program until it exits, the time limit passes or a stop is
  // requested. Once it has
  // exited, what its pipes hold at that moment is its output: a descendant
  // that keeps them open is not waited for, and is ended with the call. An
  // error (the system's text) only when the child could not be started at
  // all; a child that starts and fails is an ordinary output with its exit
  // code.
  virtual Result<ProcessOutput> run(const ProcessRequest& request) = 0;
};

// The runner that starts real processes: stdin from the null device, stdout
// and stderr piped, no other handle or descriptor inherited, no console
// window on Windows. Reaps the child before returning.
ProcessRunner& system_process_runner();

// The first of `preferred` that names an existing executable file, else
// `file_name` in the first directory of `search_path` (the PATH list) that
// holds it. Relative and empty entries of the list are skipped, so the
// current directory is never searched. Nothing found: nullopt.
std::optional<std::string> find_program(std::string_view file_name,
                                        const std::vector<std::string>& preferred,
                                        std::string_view search_path);

// Keeps the system from asking the user anything on the server's behalf.
// Windows: no "No disk in drive" box when a volume query meets an empty
// card reader, no crash-report dialog for a child that crashes (either
// holds a call until someone clicks); children inherit the setting. Nothing
// to do on POSIX. Called once, first thing at start.
void suppress_error_dialogs();

// The value of an environment variable as UTF-8; empty when unset.
std::string environment_variable(const char* name);

// The command line that CommandLineToArgvW splits back into exactly `argv`
// (argv[0] being the program path, which is only ever quoted).
std::string windows_command_line(const std::vector<std::string>& argv);

}  // namespace corvane::platform
