// Fixture files shared by the disk information tests.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace corvane::disk_info::test {

inline std::string fixture_path(const std::string& name) { return std::string(CORVANE_DISK_FIXTURES) + "/" + name; }

// The whole file; empty when it cannot be read.
inline std::string read_fixture_at(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::string read_fixture(const std::string& name) { return read_fixture_at(fixture_path(name)); }

}  // namespace corvane::disk_info::test
