// A temporary folder for real-disk fixtures, removed with everything in it
// when the fixture ends.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace corvane::testing {

class ScratchDir {
 public:
  // `base` defaults to the system's temporary folder.
  explicit ScratchDir(std::filesystem::path base = std::filesystem::temp_directory_path()) {
    static std::atomic<int> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root_ = base /
            ("corvane-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(root_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
    std::filesystem::remove_all(root_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // A memory-backed folder where the system has one (metadata-heavy
  // fixtures build much faster there), else the temporary folder.
  static std::filesystem::path fast_base() {
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec)) return "/dev/shm";
    return std::filesystem::temp_directory_path();
  }

  const std::filesystem::path& root() const { return root_; }
  // The root as the UTF-8 text the scans take.
  std::string text() const { return path_text(root_); }
  // `relative` may use '/'; the text has the platform's separators.
  std::string text(const std::string& relative) const {
    return path_text((root_ / relative).make_preferred());
  }

  static std::string path_text(const std::filesystem::path& p) {
    auto u8 = p.u8string();
    return std::string(u8.begin(), u8.end());
  }

  // Creates the parent folders and a file of `size` bytes (a repeating
  // pattern, so ranges can be checked).
  std::filesystem::path file(const std::string& relative, std::size_t size = 0) const {
    auto p = root_ / relative;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(pattern_byte(i)));
    return p;
  }
  std::filesystem::path dir(const std::string& relative) const {
    auto p = root_ / relative;
    std::filesystem::create_directories(p);
    return p;
  }

  static unsigned char pattern_byte(std::size_t i) { return static_cast<unsigned char>((i * 131 + i / 251) & 0xFF); }

  // Size and modification time of everything below the root, to show that
  // a scan changed nothing.
  std::map<std::string, std::pair<std::uintmax_t, std::filesystem::file_time_type>> snapshot() const {
    std::map<std::string, std::pair<std::uintmax_t, std::filesystem::file_time_type>> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(
             root_, std::filesystem::directory_options::skip_permission_denied, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      auto status = it->symlink_status(ec);
      std::uintmax_t size = status.type() == std::filesystem::file_type::regular ? it->file_size(ec) : 0;
      auto time = status.type() == std::filesystem::file_type::symlink ? std::filesystem::file_time_type{}
                                                                        : it->last_write_time(ec);
      out[path_text(it->path())] = {size, time};
    }
    return out;
  }

 private:
  std::filesystem::path root_;
};

}  // namespace corvane::testing
