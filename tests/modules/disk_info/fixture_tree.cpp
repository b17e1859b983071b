#include "modules/disk_info/fixture_tree.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>

namespace corvane::disk_info::test {

namespace {

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

}  // namespace

FixtureTree::FixtureTree(const std::string& manifest) {
  static std::atomic<int> serial{0};
  root_ = std::filesystem::temp_directory_path() /
          ("corvane-disk-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
           std::to_string(serial++));
  std::filesystem::create_directories(root_);
  std::istringstream lines(manifest);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (auto at = line.find(" -> "); at != std::string::npos) {
      std::filesystem::path link = root_ / line.substr(0, at);
      std::filesystem::create_directories(link.parent_path());
      std::filesystem::create_symlink(line.substr(at + 4), link);
    } else if (auto text = line.find(" = "); text != std::string::npos) {
      write(line.substr(0, text), line.substr(text + 3) + "\n");
    } else if (auto binary = line.find(" : "); binary != std::string::npos) {
      write(line.substr(0, binary), from_hex(line.substr(binary + 3)));
    }
  }
}

FixtureTree::~FixtureTree() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void FixtureTree::write(const std::string& relative, const std::string& bytes) const {
  std::filesystem::path file = root_ / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

}  // namespace corvane::disk_info::test
