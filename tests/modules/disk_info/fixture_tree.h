// A machine's /sys and /dev/disk written out from a fixture manifest into a
// temporary folder, removed again at the end of the test.
#pragma once

#include <filesystem>
#include <string>

namespace corvane::disk_info::test {

class FixtureTree {
 public:
  // `manifest` lines: "path = text" (an attribute, a newline added),
  // "path : hex" (binary), "path -> target" (a symbolic link); "#" comments.
  explicit FixtureTree(const std::string& manifest);
  ~FixtureTree();
  FixtureTree(const FixtureTree&) = delete;
  FixtureTree& operator=(const FixtureTree&) = delete;

  std::string path(const std::string& relative) const { return (root_ / relative).string(); }
  // Writes a file (creating its folders), e.g. an extra attribute.
  void write(const std::string& relative, const std::string& bytes) const;

 private:
  std::filesystem::path root_;
};

}  // namespace corvane::disk_info::test
