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
    if (!IsUtf8Continuation(c)) ++count;
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
  const size_t kept =
      max_chars <= 0 ? 0 : CutCharacters(sms.text, static_cast<size_t>(max_chars)).size();
  sms.cut = kept < sms.text.size();
  sms.text.resize(kept);
  return sms;
}

}  // namespace mailvane
