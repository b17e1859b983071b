#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "fixture_home.h"
#include "modules/junk_scan/folder_table.h"
#include "modules/junk_scan/scan.h"

namespace corvane::junk_scan {
namespace {

using corvane::testing::ScratchDir;
using Paths = std::vector<std::string>;

class BaseFoldersPosixTest : public ::testing::Test {
 protected:
  Paths texts(std::initializer_list<const char*> relatives) {
    Paths out;
    for (const char* r : relatives) out.push_back(scratch.text(r));
    return out;
  }
  ScratchDir scratch{ScratchDir::fast_base()};
  FakeEnvironment env = home_environment(scratch);
};

TEST_F(BaseFoldersPosixTest, ListsFollowTheTableAndTheVariables) {
  for (const char* d : {"var/tmp", "var/crash", "var/log", "home/.npm/_cacache", "home/.cargo/registry/cache",
                        "home/.cache/pip", "home/.cache/go-build", "home/Desktop", "home/Documents",
                        "home/.cache/google-chrome/Default/Cache", "home/.cache/mozilla/firefox",
                        "home/.cache/thumbnails", "home/.local/state", "home/Projects", "home/src", "home/projects",
                        "xdg/cache/yarn", "xdg/state"}) {
    scratch.dir(d);
  }
  EXPECT_EQ(base_folders(FolderList::temporary, env), Paths{scratch.text("var/tmp") + "/"});
  EXPECT_EQ(base_folders(FolderList::crash_dump_folders, env), (Paths{scratch.text("var/tmp") + "/", scratch.text("var/crash")}));
  EXPECT_EQ(base_folders(FolderList::package_caches, env),
            texts({"home/.npm/_cacache", "home/.cargo/registry/cache", "home/.cache/pip", "home/.cache/go-build"}));
  EXPECT_EQ(base_folders(FolderList::user_documents, env), texts({"home/Desktop", "home/Documents"}));
  EXPECT_EQ(base_folders(FolderList::browser_caches, env),
            texts({"home/.cache/google-chrome/Default/Cache", "home/.cache/mozilla/firefox"}));
  EXPECT_EQ(base_folders(FolderList::app_caches, env), texts({"home/.cache"}));
  EXPECT_EQ(base_folders(FolderList::thumbnail_caches, env), texts({"home/.cache/thumbnails"}));
  EXPECT_EQ(base_folders(FolderList::log_folders, env), texts({"home/.local/state", "var/log"}));
  EXPECT_EQ(base_folders(FolderList::development_roots, env),
            texts({"home/Documents", "home/Projects", "home/src", "home/projects"}));

  env.variables["XDG_CACHE_HOME"] = scratch.text("xdg/cache");
  env.variables["XDG_STATE_HOME"] = scratch.text("xdg/state");
  EXPECT_EQ(base_folders(FolderList::package_caches, env),
            texts({"home/.npm/_cacache", "home/.cargo/registry/cache", "xdg/cache/yarn"}));
  EXPECT_EQ(base_folders(FolderList::log_folders, env), texts({"xdg/state", "var/log"}));
  env.variables["XDG_CACHE_HOME"] = "relative/cache";  // ignored, as the XDG rules say
  EXPECT_EQ(base_folders(FolderList::app_caches, env), texts({"home/.cache"}));

  env.variables.erase("HOME");
  for (FolderList list : {FolderList::package_caches, FolderList::user_documents, FolderList::browser_caches,
                          FolderList::app_caches, FolderList::thumbnail_caches, FolderList::development_roots}) {
    EXPECT_TRUE(base_folders(list, env).empty());
  }
  EXPECT_EQ(base_folders(FolderList::log_folders, env), texts({"var/log"}));
  EXPECT_EQ(base_folders(FolderList::temporary, env), Paths{scratch.text("var/tmp") + "/"});
}

TEST_F(BaseFoldersPosixTest, TemporaryFoldersAreSortedAndOneFolderIsScannedOnce) {
  EXPECT_EQ(sorted_unique({"/b/x", "/a/y/", "/a//y", "/a/y/z", "/a", "/B"}),
            (Paths{"/B", "/a", "/a/y/", "/a/y/z", "/b/x"}));
  scratch.dir("var/tmp");
  scratch.dir("real_tmp");
  // Two texts for one folder: the link sorts first and is the one kept.
  std::filesystem::create_directory_symlink(scratch.text("real_tmp"), scratch.text("link_tmp"));
  env.temp = scratch.text("link_tmp");
  env.fixed["/var/tmp"] = scratch.text("real_tmp");
  EXPECT_EQ(base_folders(FolderList::temporary, env), Paths{scratch.text("link_tmp")});
}

TEST_F(BaseFoldersPosixTest, LinksAreNeitherItemsNorEnteredAndTheWalkEnds) {
  scratch.file("home/Documents/a/Thumbs.db", 3);
  scratch.file("home/Documents/web/node_modules/lib.js", 50);
  std::filesystem::create_directory_symlink(scratch.text("home"), scratch.text("home/Documents/a/loop"));
  std::filesystem::create_directory_symlink(scratch.text("home/Documents"), scratch.text("home/Projects"));
  scratch.file("elsewhere/big", 4000);
  scratch.file("var/tmp/plain", 1);
  std::filesystem::create_symlink(scratch.text("elsewhere/big"), scratch.text("var/tmp/file_link"));
  std::filesystem::create_directory_symlink(scratch.text("elsewhere"), scratch.text("var/tmp/dir_link"));
  scratch.dir("var/tmp/sub");
  std::filesystem::create_directory_symlink(scratch.text("elsewhere"), scratch.text("var/tmp/sub/dir_link"));
  ASSERT_EQ(mkfifo(scratch.text("var/tmp/fifo").c_str(), 0600), 0);

  JunkScanResult result = scan_junk(env);
  std::vector<std::string> ids;
  for (auto& c : result.categories) ids.push_back(c.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"system_temp", "os_metadata", "dev_artifacts"}));
  const auto& temp = result.categories[0].items;
  ASSERT_EQ(temp.size(), 2u);  // plain, and sub with nothing countable
  EXPECT_EQ(temp[0].size, 1u);
  EXPECT_EQ(temp[1].path, scratch.text("var/tmp") + "/sub");
  EXPECT_EQ(temp[1].size, 0u);
  EXPECT_EQ(result.categories[1].item_count, 1u);
  // Projects is itself a link and is followed as a base folder, as every
  // base folder is; the link inside it back to the home is not.
  EXPECT_EQ(result.categories[2].item_count, 2u);
}

TEST(SystemEnvironmentPosixTest, ReadsTheProcessVariables) {
  auto env = system_environment();
  const char* saved = std::getenv("TMPDIR");
  std::string saved_text = saved ? saved : "";
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(env->temp_folder().value(), "/tmp");
  setenv("TMPDIR", "/some/where", 1);
  EXPECT_EQ(env->temp_folder().value(), "/some/where");
  EXPECT_EQ(env->variable("TMPDIR"), "/some/where");
  if (saved) setenv("TMPDIR", saved_text.c_str(), 1); else unsetenv("TMPDIR");
  EXPECT_EQ(env->variable("CORVANE_SURELY_NOT_SET"), std::nullopt);
  EXPECT_EQ(env->fixed_folder("/var/log"), "/var/log");
}

}  // namespace
}  // namespace corvane::junk_scan
