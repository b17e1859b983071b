#include "platform/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <stop_token>
#include <thread>
#include <vector>

#include "platform/process_test_support.h"

namespace corvane::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

class ProcessRunnerTest : public ::testing::Test {
 protected:
  Result<ProcessOutput> run_child(std::vector<std::string> arguments, std::chrono::milliseconds limit = 20s) {
    return system_process_runner().run({child_, std::move(arguments), limit});
  }
  std::string child_ = test::built_program("process_child");
};

TEST_F(ProcessRunnerTest, ReportsExitCodesAndKeepsTheStreamsApart) {
  for (int code : {0, 3, 255}) {
    auto ran = run_child({"exit", std::to_string(code)});
    ASSERT_TRUE(ran.ok()) << ran.error();
    EXPECT_EQ(ran->exit_code, code);
    EXPECT_FALSE(ran->timed_out);
  }
  auto ran = run_child({"args", "one"});
  ASSERT_TRUE(ran.ok());
  EXPECT_EQ(ran->stdout_bytes.substr(0, 6), hex("one"));
  EXPECT_NE(ran->stderr_bytes.find("1 arguments"), std::string::npos);
}

TEST_F(ProcessRunnerTest, ArgumentsArriveUnchanged) {
  std::vector<std::string> tricky = {
      "",
      "two words",
      "say \"hi\"",
      "ends with backslash\\",
      "C:\\Program Files\\x\\",
      "back\\\\\"quote",
      "\nline one\nline two\n",
      "tab\there",
      "caf\xc3\xa9 \xe2\x82\xac",
      "$ErrorActionPreference = 'SilentlyContinue'",
      "\"DRIVE|$idx|$model\"",
  };
  std::vector<std::string> arguments = {"args"};
  arguments.insert(arguments.end(), tricky.begin(), tricky.end());
  auto ran = run_child(arguments);
  ASSERT_TRUE(ran.ok()) << ran.error();
  std::string expected;
  for (const std::string& argument : tricky) expected += hex(argument) + "\n";
  std::string got = ran->stdout_bytes;
  std::erase(got, '\r');
  EXPECT_EQ(got, expected);
}

TEST_F(ProcessRunnerTest, ChildSeesEndOfInputAtOnceWhateverTheServerStdinIs) {
  test::HeldStdin held;
  auto started = Clock::now();
  auto ran = run_child({"stdin"}, 10s);
  ASSERT_TRUE(ran.ok()) << ran.error();
  EXPECT_FALSE(ran->timed_out);
  EXPECT_EQ(ran->stdout_bytes.substr(0, 6), "read 0");
  EXPECT_LT(Clock::now() - started, 8s);
}

TEST_F(ProcessRunnerTest, LargeOutputOnBothPipesNeverBlocksTheChild) {
  const long size = 4L << 20;
  auto ran = run_child({"flood", std::to_string(size)}, 60s);
  ASSERT_TRUE(ran.ok()) << ran.error();
  EXPECT_FALSE(ran->timed_out);
  EXPECT_EQ(ran->exit_code, 0);
  EXPECT_EQ(ran->stdout_bytes.size(), static_cast<std::size_t>(size));
  EXPECT_EQ(ran->stderr_bytes.size(), static_cast<std::size_t>(size));
}

TEST_F(ProcessRunnerTest, TimeLimitKillsTheChildKeepsItsOutputAndLeavesNothingBehind) {
  auto started = Clock::now();
  auto ran = run_child({"sleep"}, 1500ms);
  auto took = Clock::now() - started;
  ASSERT_TRUE(ran.ok()) << ran.error();
  EXPECT_TRUE(ran->timed_out);
  EXPECT_EQ(ran->exit_code, -1);
  EXPECT_GE(took, 1400ms);
  EXPECT_LT(took, 10s);
  ASSERT_EQ(ran->stdout_bytes.rfind("pid ", 0), 0u) << ran->stdout_bytes;
  long pid = std::stol(ran->stdout_bytes.substr(4));
  EXPECT_TRUE(test::process_is_gone(pid));
}

TEST_F(ProcessRunnerTest, AStopRequestKillsTheChildWellBeforeItsLimitAndLeavesNothingBehind) {
  std::stop_source stop;
  auto started = Clock::now();
  std::jthread stopper([&] {
    std::this_thread::sleep_for(1s);
    stop.request_stop();
  });
  auto ran = system_process_runner().run({child_, {"sleep"}, 60s, stop.get_token()});
  auto took = Clock::now() - started;
  ASSERT_TRUE(ran.ok()) << ran.error();
  EXPECT_TRUE(ran->stopped);
  EXPECT_FALSE(ran->timed_out);
  EXPECT_EQ(ran->exit_code, -1);
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 15s);
  ASSERT_EQ(ran->stdout_bytes.rfind("pid ", 0), 0u) << ran->stdout_bytes;
  EXPECT_TRUE(test::process_is_gone(std::stol(ran->stdout_bytes.substr(4))));

  // Already stopped when it starts: the child does not get to run on.
  started = Clock::now();
  auto at_once = system_process_runner().run({child_, {"sleep"}, 60s, stop.get_token()});
  ASSERT_TRUE(at_once.ok()) << at_once.error();
  EXPECT_TRUE(at_once->stopped);
  EXPECT_LT(Clock::now() - started, 15s);

  // Without a stop the same child runs to its exit, and is not called stopped.
  auto ran_out = run_child({"exit", "4"});
  ASSERT_TRUE(ran_out.ok());
  EXPECT_FALSE(ran_out->stopped);
  EXPECT_EQ(ran_out->exit_code, 4);
}

TEST_F(ProcessRunnerTest, TheChildsExitEndsTheCallWhileADescendantStillHoldsThePipes) {
  auto started = Clock::now();
  auto ran = run_child({"leave-holder"}, 20s);
  auto took = Clock::now() - started;
  ASSERT_TRUE(ran.ok()) << ran.error();
  EXPECT_FALSE(ran->timed_out);
  EXPECT_EQ(ran->exit_code, 0);
  EXPECT_LT(took, 10s);
  std::string out = ran->stdout_bytes;
  std::erase(out, '\r');
  ASSERT_EQ(out.rfind("holder ", 0), 0u) << out;
  EXPECT_NE(out.find("\nreport complete\n"), std::string::npos) << out;
  EXPECT_EQ(ran->stderr_bytes.rfind("warnings none", 0), 0u) << ran->stderr_bytes;
  // The descendant is ended with the call, as the child's process tree.
  long holder = std::stol(out.substr(7));
  auto give_up = Clock::now() + 5s;
  while (!test::process_has_ended(holder) && Clock::now() < give_up) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(test::process_has_ended(holder)) << holder;
}

TEST_F(ProcessRunnerTest, AProgramThatCannotStartIsAnError) {
  auto ran = system_process_runner().run({child_ + "-missing", {}, 5s});
  ASSERT_FALSE(ran.ok());
  EXPECT_FALSE(ran.error().empty());
}

TEST(CommandLineTest, QuotesOnlyWhatNeedsItAndEscapesQuotesAndTheirBackslashes) {
  EXPECT_EQ(windows_command_line({"C:\\Windows\\ps.exe"}), "\"C:\\Windows\\ps.exe\"");
  EXPECT_EQ(windows_command_line({"p", "-NoProfile", "", "a b"}), "\"p\" -NoProfile \"\" \"a b\"");
  EXPECT_EQ(windows_command_line({"p", "a\\b"}), "\"p\" a\\b");
  EXPECT_EQ(windows_command_line({"p", "say \"x\""}), "\"p\" \"say \\\"x\\\"\"");
  EXPECT_EQ(windows_command_line({"p", "dir\\ x\\"}), "\"p\" \"dir\\ x\\\\\"");
  EXPECT_EQ(windows_command_line({"p", "a\\\"b"}), "\"p\" \"a\\\\\\\"b\"");
  EXPECT_EQ(windows_command_line({"p", "x\ny"}), "\"p\" \"x\ny\"");
}

class FindProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("corvane-find-" + std::to_string(Clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(root_ / "first");
    std::filesystem::create_directories(root_ / "second");
    for (const char* dir : {"first", "second"}) {
      std::filesystem::copy_file(test::built_program("process_child"), root_ / dir / name_);
    }
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::string dir(const char* leaf) const { return std::filesystem::absolute(root_ / leaf).string(); }

  std::filesystem::path root_;
  std::string name_ = std::filesystem::path(test::built_program("process_child")).filename().string();
  char separator_ = test::path_list_separator();
};

TEST_F(FindProgramTest, PrefersTheGivenPathsThenSearchesOnlyAbsoluteDirectories) {
  std::string path = std::string("relative") + separator_ + separator_ + dir("missing") + separator_ +
                     dir("second") + separator_ + dir("first");
  std::filesystem::path in_second = std::filesystem::path(dir("second")) / name_;
  std::filesystem::path in_first = std::filesystem::path(dir("first")) / name_;

  auto found = find_program(name_, {}, path);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(std::filesystem::path(*found), in_second);

  found = find_program(name_, {dir("missing") + "/x", in_first.string()}, path);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(std::filesystem::path(*found), in_first);

  // A directory of the wanted name is not a program; relative entries are
  // never tried, even when the current directory holds the program.
  EXPECT_FALSE(find_program("first", {dir("second")}, root_.string()).has_value());
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(root_ / "first");
  EXPECT_FALSE(find_program(name_, {}, std::string(".") + separator_ + separator_).has_value());
  std::filesystem::current_path(previous);
}

}  // namespace
}  // namespace corvane::platform
