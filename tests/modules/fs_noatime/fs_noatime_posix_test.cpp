#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "modules/fs_noatime/fs_noatime.h"
#include "platform/posix_fixtures.h"
#include "platform/scratch_dir.h"

namespace corvane::fs_noatime {
namespace {

using corvane::testing::ScratchDir;

TEST(FsNoatimePosixTest, FifosNeverBlockAndBytesNamesStillOpen) {
  ScratchDir scratch;
  ASSERT_EQ(mkfifo(scratch.text("pipe").c_str(), 0644), 0);
  // Reaching the assertions at all is the point: no writer exists.
  auto bytes = read_whole(scratch.text("pipe"));
  ASSERT_TRUE(bytes.ok()) << bytes.error();
  EXPECT_TRUE(bytes->empty());

  std::string odd = scratch.text() + "/odd\xFE";
  int fd = open(odd.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "abc", 3), 3);
  close(fd);
  EXPECT_EQ(sha256_file_hex(odd).value(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(FsNoatimePosixTest, UnreadableFilesFailWithTheSystemTextAndOthersFilesStillOpen) {
  ScratchDir scratch;
  scratch.file("secret.bin", 10);
  scratch.file("public.bin", 10);
  chmod(scratch.text("secret.bin").c_str(), 0);
  std::string root = scratch.text();
  int status = corvane::testing::run_unprivileged([&] {
    auto secret = read_whole(root + "/secret.bin");
    ASSERT_FALSE(secret.ok());
    EXPECT_EQ(secret.error(), "Permission denied (os error 13)");
    auto hashed = sha256_file_hex(root + "/secret.bin");
    ASSERT_FALSE(hashed.ok());
    EXPECT_EQ(hashed.error(), " " + root + "/secret.bin: Permission denied (os error 13)");
    // Readable but owned by someone else when run as nobody: O_NOATIME is
    // refused there and the plain open must take over.
    EXPECT_EQ(read_whole("/etc/hostname").ok() || read_whole("/etc/passwd").ok(), true);
    EXPECT_EQ(read_whole(root + "/public.bin").value().size(), 10u);
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace corvane::fs_noatime
