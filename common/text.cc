#include "common/text.h"

#include <cstdio>

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

}  // namespace mailvane
