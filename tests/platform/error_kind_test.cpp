// Platform failures carry the kind of the system's error beside its text,
// which stays the system's own.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/scratch_dir.h"

namespace corvane::platform {
namespace {

bool is_system_text(const std::string& text) { return text.find(" (os error ") != std::string::npos && text.back() == ')'; }

TEST(ErrorKindTest, WhatDoesNotExistIsNotFoundAtEveryEntryPoint) {
  corvane::testing::ScratchDir scratch;
  scratch.file("x/f.txt", 4);
  const std::vector<std::string> missing = {
      scratch.text("nope"),
      scratch.text("nope/deeper"),  // a folder on the way is missing
      scratch.text("x") + std::string(1, '\0') + "y",
  };
  for (const std::string& path : missing) {
    SCOPED_TRACE(path);
    for (const auto& failed : {path_metadata(path), link_metadata(path)}) {
      ASSERT_FALSE(failed.ok());
      EXPECT_EQ(failed.error_code(), ErrorCode::not_found);
      EXPECT_TRUE(is_system_text(failed.error())) << failed.error();
    }
    Result<std::string> canonical = canonical_path(path);
    ASSERT_FALSE(canonical.ok());
    EXPECT_EQ(canonical.error_code(), ErrorCode::not_found);
    EXPECT_EQ(canonical.failure().message, canonical.error());
    ListingSource::Opened opened = native_listing()->open_root(path);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error_code(), ErrorCode::not_found) << opened.error();
  }
  EXPECT_TRUE(native_listing()->open_root(scratch.text("x")).ok());
  EXPECT_EQ(native_listing()->open_root("").error_code(), ErrorCode::not_found);
}

TEST(ErrorKindTest, AnErrorMadeFromACodeHasThatCodesTextAndKind) {
  for (int code : {0, 1, 2, 3, 5, 13, 20, 32}) {
    Error error = os_error(code);
    EXPECT_EQ(error.message, os_error_text(code));
    EXPECT_EQ(error.code, error_code_from_os(code));
    EXPECT_TRUE(error.message.ends_with(" (os error " + std::to_string(code) + ")")) << error.message;
  }
  EXPECT_EQ(make_error("PATH_NOT_FOUND: x").code, ErrorCode::other);
}

}  // namespace
}  // namespace corvane::platform
