// The runner where Windows differs: what the process asks of the system at
// start, and ending a child's tree when no job can hold it.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/process.h"
#include "platform/process_test_support.h"
#include "platform/process_tree.h"

namespace corvane::platform {
namespace {

using namespace std::chrono_literals;

TEST(ErrorDialogsTest, NeitherTheServerNorItsChildrenAskTheUser) {
  constexpr UINT kQuiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX;
  UINT before = GetErrorMode();
  suppress_error_dialogs();
  EXPECT_EQ(GetErrorMode() & kQuiet, kQuiet);
  auto ran =
      system_process_runner().run({test::built_program("process_child"), {"error-mode"}, 20s});
  SetErrorMode(before);
  ASSERT_TRUE(ran.ok()) << ran.error();
  unsigned long child = std::stoul(ran->stdout_bytes.substr(ran->stdout_bytes.find("mode ") + 5));
  // Windows hands the mode to every child; Wine starts each with none.
  if (child == 0 && GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
    GTEST_SKIP() << "Wine does not pass the error mode on";
  }
  EXPECT_EQ(child & kQuiet, kQuiet);
}

TEST(TreeWithoutJobTest, DescendantsAreEndedWhenTheChildIsKilledAndWhenItExits) {
  refuse_tree_jobs_for_testing(true);
  for (const char* mode :
       {"tree", "leave-holder"}) {  // killed at its limit; exits leaving a descendant
    auto ran = system_process_runner().run({test::built_program("process_child"), {mode}, 1500ms});
    ASSERT_TRUE(ran.ok()) << ran.error();
    std::size_t at = ran->stdout_bytes.find("holder ");
    ASSERT_NE(at, std::string::npos) << ran->stdout_bytes;
    long holder = std::stol(ran->stdout_bytes.substr(at + 7));
    for (int waits = 0; !test::process_has_ended(holder) && waits < 500; ++waits)
      std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(test::process_has_ended(holder)) << mode;
  }
  refuse_tree_jobs_for_testing(false);
}

}  // namespace
}  // namespace corvane::platform
