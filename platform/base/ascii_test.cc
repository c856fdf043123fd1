#include "platform/base/ascii.h"

#include <gtest/gtest.h>

#include <string_view>

namespace mailvane {
namespace {

TEST(AsciiTest, CaseIsFoldedForAsciiLettersOnly) {
  struct Case {
    std::string_view a, b;
    bool equal;
  };
  for (const Case& c : std::initializer_list<Case>{{"MAIL", "mail", true},
                                                   {"Verify", "vERIFY", true},
                                                   {"", "", true},
                                                   {"ab", "abc", false},
                                                   {"@", "`", false},  // 0x40 and 0x60
                                                   {"[", "{", false},  // 0x5B and 0x7B
                                                   {"\xC3\x84", "\xC3\xA4", false}}) {
    EXPECT_EQ(EqualsIgnoringAsciiCase(c.a, c.b), c.equal) << c.a << " " << c.b;
  }
  EXPECT_EQ(AsciiLowered("Ab@Z\xC3\x84"), "ab@z\xC3\x84");
  EXPECT_EQ(AsciiUppered("to:x`"), "TO:X`");
  EXPECT_TRUE(StartsWithIgnoringAsciiCase("from:<a>", "FROM:"));
  EXPECT_FALSE(StartsWithIgnoringAsciiCase("FRO", "FROM:"));
  EXPECT_TRUE(EndsWithIgnoringAsciiCase("x.MSG", ".msg"));
  EXPECT_FALSE(EndsWithIgnoringAsciiCase("msg", ".msg"));
  EXPECT_TRUE(ContainsIgnoringAsciiCase("Content-Type: MultiPart/mixed", "multipart"));
  EXPECT_FALSE(ContainsIgnoringAsciiCase("text/plain", "multipart"));
}

TEST(AsciiTest, EachTrimRemovesOnlyItsOwnCharacters) {
  const std::string_view text = " \t\v a b \r\n ";
  EXPECT_EQ(TrimSpaces(text), "\t\v a b \r\n");
  EXPECT_EQ(TrimBlanks(" \t a b\t "), "a b");
  EXPECT_EQ(TrimBlanks(text), "\v a b \r\n");
  EXPECT_EQ(TrimWhitespace(text), "a b");
  EXPECT_EQ(TrimSpaces("   "), "");
  EXPECT_EQ(TrimWhitespace(""), "");
}

}  // namespace
}  // namespace mailvane
