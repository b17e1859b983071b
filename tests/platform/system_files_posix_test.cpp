// The POSIX-only reads of system files, against what the kernel's own
// pseudo-files and std::filesystem say.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/scratch_dir.h"
#include "platform/system_files.h"

namespace corvane::platform {
namespace {

using corvane::testing::ScratchDir;

TEST(SystemFilesPosixTest, PseudoFilesThatReportNoSizeAreReadToTheirEnd) {
  std::ifstream in("/proc/self/mounts", std::ios::binary);
  if (!in) GTEST_SKIP() << "no /proc here";
  std::ostringstream expected;
  expected << in.rdbuf();
  ASSERT_FALSE(expected.str().empty());
  EXPECT_EQ(read_small_file("/proc/self/mounts").value(), expected.str());
}

TEST(SystemFilesPosixTest, LinksAreReadUnresolvedWhateverTheirLength) {
  ScratchDir scratch;
  std::string long_target = "../" + std::string(300, 'x') + "/sda1";  // past the first buffer
  ASSERT_EQ(symlink(long_target.c_str(), scratch.text("long").c_str()), 0);
  ASSERT_EQ(symlink("../../sdb2", scratch.text("short").c_str()), 0);
  EXPECT_EQ(read_link(scratch.text("long")).value(), long_target);
  EXPECT_EQ(read_link(scratch.text("short")).value(), "../../sdb2");

  scratch.file("plain");
  EXPECT_EQ(read_link(scratch.text("plain")).error(), "Invalid argument (os error 22)");
  EXPECT_EQ(read_link(scratch.text("missing")).error(), "No such file or directory (os error 2)");
}

TEST(SystemFilesPosixTest, SpaceAndBlockDevicesAgreeWithTheSystemsOwnView) {
  ScratchDir scratch;
  Result<FileSystemSpace> space = file_system_space(scratch.text());
  ASSERT_TRUE(space.ok()) << space.error();
  std::filesystem::space_info model = std::filesystem::space(scratch.root());
  EXPECT_EQ(space->total_bytes, model.capacity);
  EXPECT_FALSE(file_system_space(scratch.text("missing")).ok());

  scratch.file("plain");
  EXPECT_EQ(block_device_number(scratch.text("plain")), std::nullopt);
  EXPECT_EQ(block_device_number(scratch.text("missing")), std::nullopt);
  if (mknod(scratch.text("node").c_str(), S_IFBLK | 0600, makedev(7, 123)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  ASSERT_EQ(symlink("node", scratch.text("to_node").c_str()), 0);
  EXPECT_EQ(block_device_number(scratch.text("node")), (DeviceNumber{7, 123}));
  EXPECT_EQ(block_device_number(scratch.text("to_node")), (DeviceNumber{7, 123}));
  ASSERT_EQ(mknod(scratch.text("char").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
  EXPECT_EQ(block_device_number(scratch.text("char")), std::nullopt);
}

}  // namespace
}  // namespace corvane::platform
