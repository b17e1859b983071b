// Plays powershell.exe for the disk-health tests on the Windows lane. It
// keeps the arguments it received (as CommandLineToArgvW split them) in
// received-N.txt beside itself, prints inventory.txt for the inventory
// script and counters-ID.txt for a counter script, and when a file named
// "hang" is there, never ends after printing.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/child_support.h"

namespace fs = std::filesystem;

namespace {

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string answer_file(const std::string& script) {
  if (script.find("Win32_DiskDrive") != std::string::npos) return "inventory.txt";
  const std::string marker = "DeviceId -eq '";
  std::size_t at = script.find(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  return "counters-" + script.substr(at, script.find('\'', at) - at) + ".txt";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args = corvane::test::child_arguments(argc, argv);
  fs::path dir = fs::path(args[0]).parent_path();
  int n = 0;
  while (fs::exists(dir / ("received-" + std::to_string(n) + ".txt"))) ++n;
  std::ofstream received(dir / ("received-" + std::to_string(n) + ".txt"), std::ios::binary);
  for (const std::string& arg : args) received << arg.size() << ':' << arg << '\n';
  received.close();

  // Text mode, as PowerShell's own output ends its lines with CR LF.
  std::string answer = read_all(dir / answer_file(args.back()));
  std::fwrite(answer.data(), 1, answer.size(), stdout);
  std::fflush(stdout);
  if (fs::exists(dir / "hang")) {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  return 0;
}
