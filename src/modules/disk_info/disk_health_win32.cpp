#include "modules/disk_info/powershell_health.h"

namespace corvane::disk_info {

std::vector<DiskHealthRecord> disk_health(const platform::TaskHooks& hooks) {
  // Windows PowerShell lives in the system folder; a powershell.exe in the
  // current directory or early on the search path is never preferred.
  std::vector<std::string> preferred;
  std::string system_root = platform::environment_variable("SystemRoot");
  if (!system_root.empty()) preferred.push_back(system_root + "\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
  std::optional<std::string> program =
      platform::find_program("powershell.exe", preferred, platform::environment_variable("PATH"));
  if (!program) {
    return {failure_record("unknown", std::string(kPowerShellFailed) +
                                          "powershell.exe was found neither in the system folder nor on the search path")};
  }
  PowerShellSetup setup;
  setup.program = *program;
  setup.hooks = hooks;
  return powershell_disk_health(platform::system_process_runner(), setup);
}

}  // namespace corvane::disk_info
