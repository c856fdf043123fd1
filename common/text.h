// Date and time texts of Mailvane's logs and messages, character counting over UTF-8 text, and
// the text an SMS carries of a mail.
#ifndef MAILVANE_COMMON_TEXT_H_
#define MAILVANE_COMMON_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/base/utf8.h"  // CutCharacters
#include "platform/loop/clock.h"

namespace mailvane {

// The general date and time form of log lines and error texts: "dd/mm/yyyy hh:mm:ss" (24-hour).
std::string FormatGeneralDate(const LocalDateTime& t);

// The time stamp that starts a log line: "dd mm yy hh:mm:ss" (two-digit year, 24-hour).
std::string FormatLogTimestamp(const LocalDateTime& t);

// The number of characters of a UTF-8 text (a byte that does not continue a sequence counts as a
// character, so malformed text counts every stray byte).
size_t CharacterCount(std::string_view text);

struct SmsText {
  std::string text;
  bool cut = false;  // characters were dropped to fit max_chars
};

// What an SMS says of a mail: the body, its CR LF pairs made spaces when strip_crlf, without the
// line breaks, spaces and tabs at its end; when that leaves nothing, the subject treated alike
// (alerting tools often put the whole alert there). Then its first max_chars characters, never
// part of one; max_chars <= 0 leaves nothing.
SmsText SmsTextOf(std::string_view body, std::string_view subject, bool strip_crlf,
                  long long max_chars);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_TEXT_H_
