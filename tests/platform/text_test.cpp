#include "platform/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace corvane::platform {
namespace {

// The scalar value whose encoding `bytes` is, written from the encoding's
// definition (bit layout, then shortest form, range and surrogates); nullopt
// when `bytes` encodes none.
std::optional<char32_t> model_scalar(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > 4) return std::nullopt;
  auto b = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  static constexpr unsigned char kLeadMask[] = {0x80, 0xE0, 0xF0, 0xF8};
  static constexpr unsigned char kLeadBits[] = {0x00, 0xC0, 0xE0, 0xF0};
  static constexpr char32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
  std::size_t n = bytes.size();
  if ((b(0) & kLeadMask[n - 1]) != kLeadBits[n - 1]) return std::nullopt;
  char32_t cp = b(0) & static_cast<unsigned char>(~kLeadMask[n - 1]);
  for (std::size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (b(i) & 0x3F);
  }
  if (cp < kShortest[n - 1] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return cp;
}

// Whether some scalar's encoding starts with `prefix` (two bytes or more:
// only the second byte is restricted beyond being a continuation byte).
bool model_starts_a_scalar(std::string_view prefix) {
  for (std::size_t total = prefix.size(); total <= 4; ++total) {
    std::string candidate(prefix);
    candidate.resize(total, '\x80');
    if (model_scalar(candidate)) return true;
  }
  return false;
}

// The unit at `at` as the Unicode definition has it: the encoding of a
// scalar, else the longest prefix of one (at least one byte).
Utf8Unit model_unit(std::string_view text, std::size_t at) {
  for (std::size_t n = 1; n <= 4 && at + n <= text.size(); ++n) {
    if (auto cp = model_scalar(text.substr(at, n))) return Utf8Unit{*cp, n, true};
  }
  std::size_t n = 1;
  while (at + n < text.size() && n < 3 && model_starts_a_scalar(text.substr(at, n + 1))) ++n;
  return Utf8Unit{kReplacementCharacter, n, false};
}

std::string encoded(char32_t cp) {
  std::string out;
  append_utf8(out, cp);
  return out;
}

// Bytes that UTF-8 decoding treats differently: ASCII, continuations at both
// ends of their ranges, every kind of lead byte and bytes that never occur.
std::string random_utf8ish(std::mt19937& random, std::size_t length) {
  static constexpr unsigned char kPool[] = {'a', ' ', 0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                            0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0,
                                            0xF1, 0xF4, 0xF5, 0xFF, 0xCE, 0xA3, 0xE2, 0x84, 0xAA};
  std::string out(length, '\0');
  for (char& c : out) c = static_cast<char>(kPool[random() % std::size(kPool)]);
  return out;
}

TEST(Utf8DecodingTest, EveryScalarRoundTripsAndNothingElseDecodes) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp == 0xD800) cp = 0xE000;
    std::string bytes = encoded(cp);
    Utf8Unit unit = next_code_point(bytes, 0);
    ASSERT_TRUE(unit.well_formed) << std::hex << static_cast<std::uint32_t>(cp);
    ASSERT_EQ(unit.code_point, cp);
    ASSERT_EQ(unit.length, bytes.size());
  }
  // Every one- and two-byte text, and every three-byte one with an E0..EF
  // or F0..F4 lead, against the definition.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      std::string text{static_cast<char>(a), static_cast<char>(b)};
      for (std::string_view t : {std::string_view(text).substr(0, 1), std::string_view(text)}) {
        Utf8Unit got = next_code_point(t, 0), want = model_unit(t, 0);
        ASSERT_EQ(got.well_formed, want.well_formed) << a << " " << b;
        ASSERT_EQ(got.length, want.length) << a << " " << b;
        ASSERT_EQ(got.code_point, want.code_point) << a << " " << b;
      }
      if (a < 0xE0 || a > 0xF4) continue;
      for (int c : {0x00, 0x7F, 0x80, 0xBF, 0xC0}) {
        std::string three = text + static_cast<char>(c);
        Utf8Unit got = next_code_point(three, 0), want = model_unit(three, 0);
        ASSERT_EQ(got.length, want.length) << a << " " << b << " " << c;
        ASSERT_EQ(got.well_formed, want.well_formed);
      }
    }
  }
}

TEST(Utf8DecodingTest, RandomTextDecodesAsTheDefinitionSaysAndValidationAgrees) {
  std::mt19937 random(12);
  for (int round = 0; round < 20000; ++round) {
    // A run of ASCII first, so the odd bytes land at every offset of the
    // eight-byte fast path.
    std::string text(random() % 20, 'x');
    text += random_utf8ish(random, random() % 12);
    bool all_well_formed = true;
    for (std::size_t at = 0; at < text.size();) {
      Utf8Unit got = next_code_point(text, at), want = model_unit(text, at);
      ASSERT_EQ(got.length, want.length) << round << " at " << at;
      ASSERT_EQ(got.well_formed, want.well_formed) << round << " at " << at;
      all_well_formed = all_well_formed && got.well_formed;
      at += got.length;
    }
    ASSERT_EQ(is_valid_utf8(text), all_well_formed) << round;
    ASSERT_EQ(lossy_utf8(text) == text, all_well_formed) << round;
    ASSERT_TRUE(is_valid_utf8(lossy_utf8(text))) << round;
  }
}

TEST(Utf8DecodingTest, ValidationAcceptsWellFormedAndRejectsEveryIllFormedShape) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain ascii that is longer than eight bytes"));
  EXPECT_TRUE(is_valid_utf8("caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80"));
  EXPECT_TRUE(is_valid_utf8(std::string("nul\0inside", 10)));
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF
  EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));

  EXPECT_FALSE(is_valid_utf8("\xFF"));
  EXPECT_FALSE(is_valid_utf8("abc\x80"));               // lone continuation
  EXPECT_FALSE(is_valid_utf8("\xC3"));                  // truncated at end
  EXPECT_FALSE(is_valid_utf8("\xE2\x80"));              // truncated 3-byte
  EXPECT_FALSE(is_valid_utf8("\xF0\x9F\x98"));          // truncated 4-byte
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));              // overlong '/'
  EXPECT_FALSE(is_valid_utf8("\xE0\x80\xAF"));          // overlong 3-byte
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));          // surrogate U+D800
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));      // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("12345678\xC3(rest"));     // bad byte after a fast ASCII run
  EXPECT_FALSE(is_valid_utf8("1234567\xC3(rest"));      // inside the first eight bytes

  EXPECT_TRUE(is_ascii(""));
  EXPECT_TRUE(is_ascii(std::string(100, '\x7F')));
  EXPECT_FALSE(is_ascii(std::string(17, 'a') + "\x80"));
}

TEST(LossyTextTest, LossyUtf8ReplacesEachIllFormedUnitOnce) {
  EXPECT_EQ(lossy_utf8("plain caf\xC3\xA9"), "plain caf\xC3\xA9");
  EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(lossy_utf8("\xE2\x82"), "\xEF\xBF\xBD");               // truncated sequence: one replacement
  EXPECT_EQ(lossy_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");   // overlong: each byte
  EXPECT_EQ(lossy_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(lossy_utf8("\xF4\x90\x80\x80").size(), 12u);          // above U+10FFFF
  EXPECT_EQ(lossy_utf8("\xE2\x82\xE2\x84\xAA"), "\xEF\xBF\xBD\xE2\x84\xAA");  // a lead byte starts afresh
}

TEST(LossyTextTest, Utf16ConversionsPairSurrogatesAndReplaceUnpairedOnes) {
  EXPECT_EQ(utf8_from_utf16(u"D:\\Fotos\\caf\u00e9"), "D:\\Fotos\\caf\xC3\xA9");
  EXPECT_EQ(utf8_from_utf16(u"\U0001F600"), "\xF0\x9F\x98\x80");
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00};
  EXPECT_EQ(utf8_from_utf16(std::u16string_view(lone, 4)), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  EXPECT_EQ(utf16_from_utf8("\xF0\x9F\x98\x80x"), u"\U0001F600x");
  EXPECT_EQ(utf16_from_utf8("a\xFF"), u"a\uFFFD");
}

TEST(LossyTextTest, Wtf8KeepsUnpairedSurrogatesAndShowsEachAsOneReplacement) {
  const char16_t units[] = {u'a', 0xD800, u'b', 0xDC00, 0xD83D, 0xDE00, 0xDBFF};
  const std::u16string_view odd(units, 7);
  const std::string wtf8 = wtf8_from_utf16(odd);
  EXPECT_EQ(wtf8, "a\xED\xA0\x80" "b\xED\xB0\x80\xF0\x9F\x98\x80\xED\xAF\xBF");
  EXPECT_FALSE(is_valid_utf8(wtf8));
  EXPECT_EQ(utf16_from_wtf8(wtf8), odd);
  EXPECT_EQ(utf8_from_wtf8(wtf8), utf8_from_utf16(odd));
  EXPECT_EQ(utf8_from_wtf8(wtf8), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD");
  // Plain UTF-8 is WTF-8 unchanged; other ill-formed bytes are still replaced.
  EXPECT_EQ(wtf8_from_utf16(u"D:\\caf\u00e9\U0001F600"), utf8_from_utf16(u"D:\\caf\u00e9\U0001F600"));
  EXPECT_EQ(utf16_from_wtf8("caf\xC3\xA9\xFF"), u"caf\u00e9\uFFFD");
  EXPECT_EQ(utf8_from_wtf8("x\xFF\xC0\xAF"), lossy_utf8("x\xFF\xC0\xAF"));
  // Plain UTF-8 decoding still refuses encoded surrogates.
  EXPECT_EQ(utf16_from_utf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");

  // Random unit strings, surrogates in every arrangement, survive the trip.
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::u16string text(random() % 12, u'\0');
    for (char16_t& unit : text) {
      static constexpr char16_t kPool[] = {u'a', u'/', 0x00E9, 0x20AC, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFD, 0xFFFF};
      unit = kPool[random() % std::size(kPool)];
    }
    std::string carried = wtf8_from_utf16(text);
    ASSERT_EQ(utf16_from_wtf8(carried), text) << round;
    ASSERT_EQ(utf8_from_wtf8(carried), utf8_from_utf16(text)) << round;
  }
}

// Unicode's White_Space property, as PropList.txt lists it.
constexpr char32_t kWhiteSpace[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
                                    0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                                    0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

TEST(WhiteSpaceTest, TrimRemovesUnicodeWhiteSpaceOnBothSidesOnly) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    bool listed = std::find(std::begin(kWhiteSpace), std::end(kWhiteSpace), cp) != std::end(kWhiteSpace);
    ASSERT_EQ(is_white_space(cp), listed) << std::hex << static_cast<std::uint32_t>(cp);
  }
  EXPECT_EQ(trim_white_space(" \t{\"a\":1}\t "), "{\"a\":1}");
  EXPECT_EQ(trim_white_space("   \t  "), "");
  // NO-BREAK SPACE, IDEOGRAPHIC SPACE, LINE SEPARATOR, NEXT LINE.
  EXPECT_EQ(trim_white_space("\xC2\xA0\xE3\x80\x80x y\xE2\x80\xA8\xC2\x85"), "x y");
  EXPECT_EQ(trim_white_space("\xC2\xA0\t DRIVE|0 \xE3\x80\x80\r"), "DRIVE|0");
  EXPECT_EQ(trim_white_space("\xE2\x80\x83x\xE2\x80\xAF"), "x");
  // ZERO WIDTH SPACE and the BOM are not white space; an em dash is kept whole.
  EXPECT_EQ(trim_white_space("\xE2\x80\x8B{}"), "\xE2\x80\x8B{}");
  EXPECT_EQ(trim_white_space("\xEF\xBB\xBF{} "), "\xEF\xBB\xBF{}");
  EXPECT_EQ(trim_white_space("\xE2\x80\x94 "), "\xE2\x80\x94");
  EXPECT_EQ(trim_white_space("\xC3\xA9"), "\xC3\xA9");
  EXPECT_EQ(trim_white_space("\r\n\v\f1\r"), "1");
  // Bytes that only end like a white space character are not one.
  EXPECT_EQ(trim_white_space("x\x80\x80"), "x\x80\x80");
  EXPECT_EQ(trim_white_space("x\xE2\x80\xE2\x80\x80"), "x\xE2\x80");
  EXPECT_EQ(trim_white_space("\xE2\x80" "1"), "\xE2\x80" "1");
  EXPECT_EQ(trim_white_space("\xC2 x"), "\xC2 x");
}

TEST(WhiteSpaceTest, TrimOfRandomTextMatchesStrippingWhiteUnitsFromBothEnds) {
  std::mt19937 random(5);
  const std::string pieces[] = {" ", "\t", "\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\x8A", "x", "\xE2\x80\x8B",
                                "\x80", "\xE2\x80", "\xC2", "\xE3", "\xF0\x9F\x98\x80", "\xA0"};
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (std::size_t n = random() % 8; n > 0; --n) text += pieces[random() % std::size(pieces)];
    std::vector<std::pair<std::size_t, bool>> units;  // start, white
    for (std::size_t at = 0; at < text.size();) {
      Utf8Unit unit = model_unit(text, at);
      units.emplace_back(at, unit.well_formed && is_white_space(unit.code_point));
      at += unit.length;
    }
    std::size_t first = 0, last = units.size();
    while (first < last && units[first].second) ++first;
    while (last > first && units[last - 1].second) --last;
    std::size_t begin = first < units.size() ? units[first].first : text.size();
    std::size_t end = last < units.size() ? units[last].first : text.size();
    ASSERT_EQ(trim_white_space(text), std::string_view(text).substr(begin, end - begin)) << round;
  }
}

TEST(LowerCaseTest, FullUnicodeLowerCasing) {
  EXPECT_EQ(lower_case_unicode("D:\\Temp\\A.TXT"), "d:\\temp\\a.txt");
  EXPECT_EQ(lower_case_unicode("\xC3\x84\xC3\x96\xC3\x9C\xC3\x9F"), "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F");  // ÄÖÜß
  EXPECT_EQ(lower_case_unicode("\xC4\xB0"), "i\xCC\x87");                 // İ -> i + combining dot
  EXPECT_EQ(lower_case_unicode("\xE2\x84\xAA"), "k");                     // KELVIN SIGN
  EXPECT_EQ(lower_case_unicode("\xE2\x84\xAB"), "\xC3\xA5");              // ANGSTROM SIGN
  EXPECT_EQ(lower_case_unicode("\xD0\x96\xD0\xBA"), "\xD0\xB6\xD0\xBA");  // Cyrillic
  EXPECT_EQ(lower_case_unicode("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");  // Deseret, outside the BMP
  EXPECT_EQ(lower_case_unicode("\xC3\x89V\xC3\x89NEMENT.LOG"), "\xC3\xA9v\xC3\xa9nement.log");
}

TEST(LowerCaseTest, CapitalSigmaIsFinalAfterACasedLetterAndBeforeNone) {
  const std::string sigma = "\xCE\xA3", small = "\xCF\x83", final = "\xCF\x82";
  EXPECT_EQ(lower_case_unicode("\xCE\x9F\xCE\x94\xCE\x9F" + sigma), "\xCE\xBF\xCE\xB4\xCE\xBF" + final);  // ΟΔΟΣ
  EXPECT_EQ(lower_case_unicode(sigma + "\xCE\x91"), small + "\xCE\xB1");  // ΣΑ
  EXPECT_EQ(lower_case_unicode(sigma), small);                            // nothing cased before
  EXPECT_EQ(lower_case_unicode("A'" + sigma), "a'" + final);              // an apostrophe is looked past
  EXPECT_EQ(lower_case_unicode("A" + sigma + "'B"), "a" + small + "'b");  // on both sides
  EXPECT_EQ(lower_case_unicode("A" + sigma + " B"), "a" + final + " b");  // a blank ends the word
  EXPECT_EQ(lower_case_unicode("A" + sigma + sigma), "a" + small + final);
  EXPECT_EQ(lower_case_unicode("A\xFF" + sigma), "a\xFF" + small);        // an ill-formed byte is not cased
  EXPECT_EQ(lower_case_unicode("A" + sigma + "\xFF"), "a" + final + "\xFF");
}

TEST(LowerCaseTest, IllFormedUnitsPassThroughUnchanged) {
  EXPECT_EQ(lower_case_unicode("A\xFF" "B"), "a\xFF" "b");
  // Overlong forms of 'A' and of NUL are not characters: they must not turn
  // into the characters they would spell.
  EXPECT_EQ(lower_case_unicode("X\xE0\x81\x81"), "x\xE0\x81\x81");
  EXPECT_EQ(lower_case_unicode("X\xE0\x80\x80"), "x\xE0\x80\x80");
  EXPECT_EQ(lower_case_unicode("X\xF0\x80\x81\x81"), "x\xF0\x80\x81\x81");
  // Nor is a byte that never occurs in UTF-8 the lead of anything.
  EXPECT_EQ(lower_case_unicode("X\xFF\xBF\x80"), "x\xFF\xBF\x80");
  // An encoded surrogate (WTF-8 names) and text above U+10FFFF stay too.
  EXPECT_EQ(lower_case_unicode("A\xED\xA0\x80" "B"), "a\xED\xA0\x80" "b");
  EXPECT_EQ(lower_case_unicode("A\xF4\x90\x80\x80"), "a\xF4\x90\x80\x80");

  std::mt19937 random(3);
  for (int round = 0; round < 20000; ++round) {
    std::string text = random_utf8ish(random, random() % 10);
    std::string lowered = lower_case_unicode(text);
    // Replacing what is not UTF-8 first gives the same text with the same
    // replacements: lowering never joins, splits or rewrites those bytes.
    ASSERT_EQ(lossy_utf8(lowered), lower_case_unicode(lossy_utf8(text))) << round;
  }
}

// The rules that match lowered text against ASCII keywords (the disk-type
// and status tables, "*.ext" patterns) depend on this: only ASCII letters,
// U+0130 and the Kelvin sign lower-case to anything with an ASCII byte.
TEST(LowerCaseTest, OnlyAsciiTheDottedCapitalIAndTheKelvinSignLowerToAscii) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp == 0xD800) cp = 0xE000;
    std::string lowered = lower_case_unicode(encoded(cp));
    ASSERT_TRUE(is_valid_utf8(lowered)) << std::hex << static_cast<std::uint32_t>(cp);
    bool has_ascii = std::any_of(lowered.begin(), lowered.end(), [](char c) { return (c & 0x80) == 0; });
    ASSERT_EQ(has_ascii, cp < 0x80 || cp == 0x130 || cp == 0x212A) << std::hex << static_cast<std::uint32_t>(cp);
    if (cp < 0x80) {
      ASSERT_EQ(lowered, std::string(1, lower_case_ascii(static_cast<char>(cp))));
    }
  }
}

TEST(LowerCaseTest, AsciiRulesFoldOnlyAToZ) {
  EXPECT_EQ(lower_case_ascii("AZaz@[`{09.\xC3\x89"), "azaz@[`{09.\xC3\x89");
  EXPECT_TRUE(equal_ignoring_ascii_case("Node_Modules", "node_modules"));
  EXPECT_FALSE(equal_ignoring_ascii_case("node_modules_old", "node_modules"));
  EXPECT_FALSE(equal_ignoring_ascii_case("\xC3\x89", "\xC3\xA9"));  // É and é: not ASCII
  EXPECT_FALSE(equal_ignoring_ascii_case("@", "`"));                // 0x40 and 0x60 differ by the case bit
  EXPECT_TRUE(equal_ignoring_ascii_case("", ""));
}

}  // namespace
}  // namespace corvane::platform
