#include <vector>

#include "common/error.h"
#include "common/scramble.h"

namespace mailvane {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string UnscramblePassword(const std::string& stored) {
  if (stored.size() % 2 != 0) throw MailvaneError(kErrInvalidCall);
  // Every pair is read before any is unscrambled, so a bad pair anywhere is a type mismatch.
  std::vector<int> entries(stored.size() / 2);
  for (size_t i = 0; i < entries.size(); ++i) {
    int high = HexDigit(stored[2 * i]);
    int low = HexDigit(stored[2 * i + 1]);
    if (high < 0 || low < 0) throw MailvaneError(kErrTypeMismatch);
    entries[i] = high * 16 + low;
  }
  std::string password;
  password.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    int code = entries[i] - static_cast<unsigned char>(kScrambleKey[i % kScrambleKeyPositions]);
    if (code < 0) throw MailvaneError(kErrInvalidCall);
    password += static_cast<char>(code);
  }
  return password;
}

}  // namespace mailvane
