#include "mcp_server/text.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane::mcp {
namespace {

TEST(Utf8Test, AcceptsWellFormedAndRejectsEveryIllFormedShape) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain ascii that is longer than eight bytes"));
  EXPECT_TRUE(is_valid_utf8("caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80"));
  EXPECT_TRUE(is_valid_utf8(std::string("nul\0inside", 10)));
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF

  EXPECT_FALSE(is_valid_utf8("\xFF"));
  EXPECT_FALSE(is_valid_utf8("abc\x80"));               // lone continuation
  EXPECT_FALSE(is_valid_utf8("\xC3"));                  // truncated at end
  EXPECT_FALSE(is_valid_utf8("\xE2\x80"));              // truncated 3-byte
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));              // overlong '/'
  EXPECT_FALSE(is_valid_utf8("\xE0\x80\xAF"));          // overlong 3-byte
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));          // surrogate U+D800
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));      // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("12345678\xC3(rest"));     // bad byte after a fast ASCII run
}

TEST(TrimTest, RemovesUnicodeWhiteSpaceOnBothSidesOnly) {
  EXPECT_EQ(trim_unicode_whitespace(" \t{\"a\":1}\t "), "{\"a\":1}");
  EXPECT_EQ(trim_unicode_whitespace("   \t  "), "");
  // NO-BREAK SPACE, IDEOGRAPHIC SPACE, LINE SEPARATOR, NEXT LINE.
  EXPECT_EQ(trim_unicode_whitespace("\xC2\xA0\xE3\x80\x80x y\xE2\x80\xA8\xC2\x85"), "x y");
  // ZERO WIDTH SPACE is not white space; an em dash is kept whole.
  EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\x8B{}"), "\xE2\x80\x8B{}");
  EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\x94 "), "\xE2\x80\x94");
  EXPECT_EQ(trim_unicode_whitespace("\r\n\v\f1\r"), "1");
}

}  // namespace
}  // namespace corvane::mcp
