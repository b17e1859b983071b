#include <windows.h>

#include <gtest/gtest.h>

#include "fixture_home.h"
#include "modules/junk_scan/folder_table.h"

namespace corvane::junk_scan {
namespace {

using corvane::testing::ScratchDir;
using Paths = std::vector<std::string>;

class BaseFoldersWin32Test : public ::testing::Test {
 protected:
  Paths texts(std::initializer_list<const char*> relatives) {
    Paths out;
    for (const char* r : relatives) out.push_back(scratch.text(r));
    return out;
  }
  ScratchDir scratch;
  FakeEnvironment env = home_environment(scratch);
};

TEST_F(BaseFoldersWin32Test, ListsFollowTheTableAndTheVariables) {
  for (const char* d : {"Windows/Temp", "Windows/Logs", "home/AppData/Local/Temp", "home/AppData/Local/npm-cache",
                        "home/.cargo/registry/cache", "home/AppData/Local/pip/Cache", "home/Desktop",
                        "home/Downloads", "home/AppData/Local/Microsoft/Edge/User Data/Default/Cache",
                        "home/AppData/Local/Mozilla/Firefox/Profiles", "home/AppData/Local/NVIDIA/GLCache",
                        "home/AppData/Local/Microsoft/Windows/INetCache", "home/AppData/Local/Microsoft/Windows/Explorer",
                        "home/Documents", "home/repos"}) {
    scratch.dir(d);
  }
  std::string temp = scratch.text("home/AppData/Local/Temp") + "\\";
  // Sorted by components: "Windows" before "home" (code units, case kept).
  EXPECT_EQ(base_folders(FolderList::temporary, env), (Paths{scratch.text("Windows/Temp"), temp}));
  EXPECT_EQ(base_folders(FolderList::crash_dump_folders, env), (Paths{scratch.text("Windows/Temp"), temp}));
  EXPECT_EQ(base_folders(FolderList::package_caches, env),
            texts({"home/AppData/Local/npm-cache", "home/.cargo/registry/cache", "home/AppData/Local/pip/Cache"}));
  EXPECT_EQ(base_folders(FolderList::user_documents, env), texts({"home/Desktop", "home/Downloads", "home/Documents"}));
  EXPECT_EQ(base_folders(FolderList::browser_caches, env),
            texts({"home/AppData/Local/Microsoft/Edge/User Data/Default/Cache",
                   "home/AppData/Local/Mozilla/Firefox/Profiles"}));
  EXPECT_EQ(base_folders(FolderList::app_caches, env),
            texts({"home/AppData/Local/Microsoft/Windows/INetCache", "home/AppData/Local/NVIDIA/GLCache"}));
  EXPECT_EQ(base_folders(FolderList::thumbnail_caches, env), texts({"home/AppData/Local/Microsoft/Windows/Explorer"}));
  EXPECT_EQ(base_folders(FolderList::log_folders, env), texts({"Windows/Logs", "home/AppData/Local"}));
  EXPECT_EQ(base_folders(FolderList::development_roots, env), texts({"home/Documents", "home/repos"}));

  env.variables.erase("SystemRoot");  // C:\Windows then, here mapped into the fixture
  EXPECT_EQ(base_folders(FolderList::log_folders, env), texts({"Windows/Logs", "home/AppData/Local"}));

  env.variables.erase("LOCALAPPDATA");
  EXPECT_EQ(base_folders(FolderList::package_caches, env),
            texts({"home/.cargo/registry/cache", "home/AppData/Local/pip/Cache"}));
  EXPECT_TRUE(base_folders(FolderList::browser_caches, env).empty());
  EXPECT_EQ(base_folders(FolderList::temporary, env), (Paths{scratch.text("Windows/Temp"), temp}));

  env.variables["LOCALAPPDATA"] = scratch.text("home/AppData/Local");
  env.variables.erase("USERPROFILE");
  for (FolderList list : {FolderList::package_caches, FolderList::user_documents, FolderList::browser_caches,
                          FolderList::app_caches, FolderList::thumbnail_caches, FolderList::development_roots}) {
    EXPECT_TRUE(base_folders(list, env).empty());
  }
  EXPECT_EQ(base_folders(FolderList::log_folders, env), texts({"Windows/Logs"}));
  EXPECT_EQ(base_folders(FolderList::temporary, env), (Paths{scratch.text("Windows/Temp"), temp}));
}

TEST(SortedUniqueWin32Test, ComparesComponentsByCodeUnits) {
  EXPECT_EQ(sorted_unique({"C:\\b", "C:\\a\\", "C:/a", "C:\\A", "C:\\a\\x"}),
            (Paths{"C:\\A", "C:\\a\\", "C:\\a\\x", "C:\\b"}));
  // U+FF21 is one UTF-16 unit, U+1F600 two from 0xD83D: in code units the
  // emoji sorts first, though its UTF-8 bytes and code point are greater.
  EXPECT_EQ(sorted_unique({"C:\\\uFF21", "C:\\\U0001F600"}), (Paths{"C:\\\U0001F600", "C:\\\uFF21"}));
}

TEST(SystemEnvironmentWin32Test, ReadsTheProcessVariables) {
  auto env = system_environment();
  ASSERT_TRUE(SetEnvironmentVariableW(L"CORVANE_JUNK_TEST", L"C:\\x\\\u00E9"));
  EXPECT_EQ(env->variable("CORVANE_JUNK_TEST"), std::string("C:\\x\\\u00E9"));
  ASSERT_TRUE(SetEnvironmentVariableW(L"CORVANE_JUNK_TEST", L""));
  EXPECT_EQ(env->variable("CORVANE_JUNK_TEST"), std::nullopt);
  SetEnvironmentVariableW(L"CORVANE_JUNK_TEST", nullptr);
  auto temp = env->temp_folder();
  ASSERT_TRUE(temp.ok());
  EXPECT_EQ(temp->back(), '\\');
}

}  // namespace
}  // namespace corvane::junk_scan
