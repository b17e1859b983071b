// The kinds Windows errors map to.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/path.h"

namespace corvane::platform {
namespace {

TEST(WindowsErrorKindTest, OnlyMissingPathsAndRefusalsHaveAKind) {
  EXPECT_EQ(error_code_from_os(ERROR_FILE_NOT_FOUND), ErrorCode::not_found);
  EXPECT_EQ(error_code_from_os(ERROR_PATH_NOT_FOUND), ErrorCode::not_found);
  EXPECT_EQ(error_code_from_os(ERROR_ACCESS_DENIED), ErrorCode::permission_denied);
  for (DWORD code : {DWORD{0}, DWORD{ERROR_SHARING_VIOLATION}, DWORD{ERROR_INVALID_NAME}, DWORD{ERROR_DIRECTORY},
                     DWORD{ERROR_NOT_READY}, DWORD{ERROR_CANT_ACCESS_FILE}}) {
    EXPECT_EQ(error_code_from_os(static_cast<int>(code)), ErrorCode::other) << code;
  }
  SetLastError(ERROR_ACCESS_DENIED);
  Error last = last_os_error();
  EXPECT_EQ(last.code, ErrorCode::permission_denied);
  EXPECT_EQ(last.message, os_error_text(ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace corvane::platform
