// Where the junk catalogue's folders are: the user's folder variables, the
// system's temporary folder and the system's fixed folders. Read at scan
// time through this interface so that tests can point a scan at a fixture
// home instead of the machine's own folders.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dir_walk.h"
#include "platform/result.h"

namespace corvane::junk_scan {

class Environment {
 public:
  virtual ~Environment() = default;
  // The variable's value as UTF-8 text; nullopt when it is not set. A
  // variable set to empty text counts as not set: appending a folder name
  // to nothing would name a folder relative to the working directory.
  virtual std::optional<std::string> variable(std::string_view name) const = 0;
  // The system's temporary folder: GetTempPath2W (else GetTempPathW) on
  // Windows, TMPDIR when set and non-empty (else /tmp) on POSIX. An error
  // text when the system cannot tell.
  virtual Result<std::string> temp_folder() const = 0;
  // Where a fixed system folder such as "C:\Windows\Temp" or "/var/log" is
  // looked for: the machine's environment gives the path back unchanged;
  // tests move it into a fixture, or answer nullopt to leave it out.
  virtual std::optional<std::string> fixed_folder(std::string_view path) const = 0;
  // How the folders are listed: the system's own listing. Tests put one in
  // its place that reports sizes no test file system can hold.
  virtual std::unique_ptr<platform::ListingSource> listing() const { return platform::native_listing(); }
};

// The process's own environment, read afresh on every call.
std::unique_ptr<Environment> system_environment();

}  // namespace corvane::junk_scan
