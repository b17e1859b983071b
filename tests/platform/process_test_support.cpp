#include "platform/process_test_support.h"

#include <cstdlib>
#include <filesystem>

namespace corvane::test {

std::string built_program(const std::string& name) {
  const char* dir = std::getenv("CORVANE_TEST_BUILD_DIR");
  std::filesystem::path base = std::filesystem::absolute(dir ? dir : ".");
  return (base / (name + CORVANE_EXECUTABLE_SUFFIX)).string();
}

}  // namespace corvane::test
