#include <cstdlib>

#include "modules/junk_scan/environment.h"

namespace corvane::junk_scan {

namespace {

class PosixEnvironment final : public Environment {
 public:
  std::optional<std::string> variable(std::string_view name) const override {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
  }

  Result<std::string> temp_folder() const override {
    if (auto tmpdir = variable("TMPDIR")) return *tmpdir;
    return std::string("/tmp");
  }

  std::optional<std::string> fixed_folder(std::string_view path) const override { return std::string(path); }
};

}  // namespace

std::unique_ptr<Environment> system_environment() { return std::make_unique<PosixEnvironment>(); }

}  // namespace corvane::junk_scan
