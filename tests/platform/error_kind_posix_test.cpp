// The kinds POSIX errors map to, and denied access where the system denies
// it (as an unprivileged user: permissions do not bind root).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/posix_fixtures.h"
#include "platform/scratch_dir.h"

namespace corvane::platform {
namespace {

TEST(PosixErrorKindTest, OnlyMissingPathsAndRefusalsHaveAKind) {
  EXPECT_EQ(error_code_from_os(ENOENT), ErrorCode::not_found);
  EXPECT_EQ(error_code_from_os(EACCES), ErrorCode::permission_denied);
  EXPECT_EQ(error_code_from_os(EPERM), ErrorCode::permission_denied);
  for (int code : {0, ENOTDIR, ELOOP, ENAMETOOLONG, EIO, EMFILE, ENOMEM, EINVAL}) {
    EXPECT_EQ(error_code_from_os(code), ErrorCode::other) << code;
  }
  errno = EACCES;
  Error last = last_os_error();
  EXPECT_EQ(last.code, ErrorCode::permission_denied);
  EXPECT_EQ(last.message, os_error_text(EACCES));
}

TEST(PosixErrorKindTest, AFileUsedAsAFolderIsNeitherMissingNorDenied) {
  corvane::testing::ScratchDir scratch;
  std::string file = corvane::testing::ScratchDir::path_text(scratch.file("f.txt", 1));
  EXPECT_EQ(canonical_path(file + "/child").error_code(), ErrorCode::other);
  EXPECT_EQ(path_metadata(file + "/child").error_code(), ErrorCode::other);
  EXPECT_EQ(native_listing()->open_root(file).error_code(), ErrorCode::other);
}

TEST(PosixErrorKindTest, RefusedAccessIsPermissionDeniedForPathsAndListings) {
  corvane::testing::ScratchDir scratch;
  scratch.file("locked/f.txt", 1);
  scratch.dir("parent/locked");
  chmod(scratch.text("locked").c_str(), 0);
  chmod(scratch.text("parent/locked").c_str(), 0);
  const std::string root = scratch.text();
  int status = corvane::testing::run_unprivileged([&] {
    EXPECT_EQ(canonical_path(root + "/locked/f.txt").error_code(), ErrorCode::permission_denied);
    EXPECT_EQ(path_metadata(root + "/locked/f.txt").error_code(), ErrorCode::permission_denied);
    EXPECT_EQ(native_listing()->open_root(root + "/locked").error_code(), ErrorCode::permission_denied);

    // A child refused while walking: the listing says so, the walk goes on.
    std::unique_ptr<ListingSource> listing = native_listing();
    ListingSource::Opened parent = listing->open_root(root + "/parent");
    ASSERT_TRUE(parent.ok());
    ListingSource::Entry entry;
    ASSERT_EQ(listing->read(**parent, entry), ListingSource::Read::entry);
    EXPECT_EQ(entry.name, "locked");
    ListingSource::Opened child = listing->open_child(**parent, entry);
    ASSERT_FALSE(child.ok());
    EXPECT_EQ(child.error_code(), ErrorCode::permission_denied);
    EXPECT_EQ(child.error(), os_error_text(EACCES));
    EXPECT_EQ(listing->read(**parent, entry), ListingSource::Read::end);
  });
  EXPECT_EQ(status, 0);
  chmod(scratch.text("locked").c_str(), 0755);
  chmod(scratch.text("parent/locked").c_str(), 0755);
}

}  // namespace
}  // namespace corvane::platform
