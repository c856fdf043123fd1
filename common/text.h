// Date and time texts of Mailvane's logs and messages, and character counting over UTF-8 text.
#ifndef MAILVANE_COMMON_TEXT_H_
#define MAILVANE_COMMON_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/loop/clock.h"

namespace mailvane {

// The general date and time form of log lines and error texts: "dd/mm/yyyy hh:mm:ss" (24-hour).
std::string FormatGeneralDate(const LocalDateTime& t);

// The time stamp that starts a log line: "dd mm yy hh:mm:ss" (two-digit year, 24-hour).
std::string FormatLogTimestamp(const LocalDateTime& t);

// The number of characters of a UTF-8 text (a byte that does not continue a sequence counts as a
// character, so malformed text counts every stray byte).
size_t CharacterCount(std::string_view text);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_TEXT_H_
