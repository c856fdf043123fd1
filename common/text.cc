#include "common/text.h"

#include <cstdio>
#include <string>

namespace mailvane {

std::string FormatGeneralDate(const LocalDateTime& t) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%02d/%02d/%04d %02d:%02d:%02d", t.day, t.month, t.year,
                t.hour, t.minute, t.second);
  return buffer;
}

std::string FormatLogTimestamp(const LocalDateTime& t) {
  char buffer[64];
  int year = ((t.year % 100) + 100) % 100;
  std::snprintf(buffer, sizeof(buffer), "%02d %02d %02d %02d:%02d:%02d", t.day, t.month, year,
                t.hour, t.minute, t.second);
  return buffer;
}

size_t CharacterCount(std::string_view text) {
  size_t count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

namespace {

std::string StrippedText(std::string_view text, bool strip_crlf) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (strip_crlf && text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += ' ';
      ++i;
    } else {
      out += text[i];
    }
  }
  const size_t end = out.find_last_not_of(" \t\r\n");
  out.resize(end == std::string::npos ? 0 : end + 1);
  return out;
}

}  // namespace

SmsText SmsTextOf(std::string_view body, std::string_view subject, bool strip_crlf,
                  long long max_chars) {
  SmsText sms{StrippedText(body, strip_crlf)};
  if (sms.text.empty()) sms.text = StrippedText(subject, strip_crlf);
  long long chars = 0;
  for (size_t i = 0; i < sms.text.size(); ++i) {
    // A byte that continues a character is kept with it (a stray one at the start with nothing).
    if ((static_cast<unsigned char>(sms.text[i]) & 0xC0) == 0x80 && i > 0) continue;
    if (chars >= max_chars) {
      sms.text.resize(i);
      sms.cut = true;
      break;
    }
    ++chars;
  }
  return sms;
}

}  // namespace mailvane
