// A child for the process runner's tests. The first argument picks what it
// does; output is plain ASCII so text-mode streams change nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "platform/child_support.h"

namespace {

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args = corvane::test::child_arguments(argc, argv);
  std::string mode = args.size() > 1 ? args[1] : "";
  if (mode == "exit") return std::atoi(args.at(2).c_str());
  if (mode == "args") {
    // Each argument after the mode, hex-encoded, one per line.
    for (std::size_t i = 2; i < args.size(); ++i) std::printf("%s\n", hex(args[i]).c_str());
    std::fprintf(stderr, "%zu arguments\n", args.size() - 2);
    return 0;
  }
  if (mode == "stdin") {
    long count = 0;
    while (std::getchar() != EOF) ++count;
    std::printf("read %ld\n", count);
    return 0;
  }
  if (mode == "flood") {
    // Alternates between the pipes so that either one filling up would stall it.
    long total = std::atol(args.at(2).c_str());
    std::string chunk(4096, 'x');
    for (long written = 0; written < total; written += 4096) {
      std::fwrite(chunk.data(), 1, chunk.size(), stderr);
      std::fwrite(chunk.data(), 1, chunk.size(), stdout);
    }
    return 0;
  }
  if (mode == "leave-holder") {
    // A report printed in full, then an exit while a descendant of its own
    // keeps both pipes open (as a helper's forked daemon might).
    long holder = corvane::test::start_pipe_holder();
    std::printf("holder %ld\nreport complete\n", holder);
    std::fprintf(stderr, "warnings none\n");
    std::fflush(stdout);
    std::fflush(stderr);
    return holder > 0 ? 0 : 98;
  }
  if (mode == "error-mode") {
    std::printf("error mode %lu\n", corvane::test::child_error_mode());
    return 0;
  }
  if (mode == "tree") {
    // A descendant that would outlive this child, which then waits to be ended.
    std::printf("holder %ld\n", corvane::test::start_pipe_holder());
    std::fflush(stdout);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (mode == "hold") {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (mode == "sleep") {
    std::printf("pid %ld\n", corvane::test::child_process_id());
    std::fflush(stdout);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  return 99;
}
