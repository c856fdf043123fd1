#include "common/text.h"

#include <gtest/gtest.h>

namespace mailvane {
namespace {

TEST(SmsTextOfTest, TheEndIsTrimmedTheSubjectStandsInForNothingAndACutSaysSo) {
  struct Case {
    const char* body;
    const char* subject;
    bool strip_crlf;
    long long max_chars;
    const char* text;
    bool cut;
  } cases[] = {
      {"Disk full\r\n", "s", true, 9, "Disk full", false},  // no trailing space to cut away
      {"Disk full\r\n \r\n\t", "s", false, 160, "Disk full", false},
      {"a\r\nb\r\n", "s", true, 160, "a b", false},
      {"a\r\nb\r\n", "s", false, 160, "a\r\nb", false},
      {"  lead stays", "s", true, 160, "  lead stays", false},
      {"", "DB down\r\n", true, 160, "DB down", false},
      {"\r\n\r\n ", "DB down", true, 4, "DB d", true},
      {"", "", true, 160, "", false},
      {"abcdef", "s", true, 5, "abcde", true},
      {"abcde \r\n", "s", true, 5, "abcde", false},
      {"\xC3\xA9\xC3\xA9\xC3\xA9", "s", true, 2, "\xC3\xA9\xC3\xA9", true},  // whole characters
      {"abc", "s", true, 0, "", true},
      {"abc", "s", true, -4, "", true},
  };
  for (const Case& c : cases) {
    const SmsText sms = SmsTextOf(c.body, c.subject, c.strip_crlf, c.max_chars);
    EXPECT_EQ(sms.text, c.text) << c.body << "|" << c.max_chars;
    EXPECT_EQ(sms.cut, c.cut) << c.body << "|" << c.max_chars;
  }
}

}  // namespace
}  // namespace mailvane
