#include "common/scramble.h"

#include "common/error.h"

namespace mailvane {
namespace {

int KeyCode(size_t index) {
  return static_cast<unsigned char>(kScrambleKey[index % kScrambleKeyPositions]);
}

}  // namespace

bool CanScramblePassword(const std::string& password) {
  for (size_t i = 0; i < password.size(); ++i) {
    if (static_cast<unsigned char>(password[i]) + KeyCode(i) > 255) return false;
  }
  return true;
}

std::string ScramblePassword(const std::string& password) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string stored;
  stored.reserve(password.size() * 2);
  for (size_t i = 0; i < password.size(); ++i) {
    int sum = static_cast<unsigned char>(password[i]) + KeyCode(i);
    if (sum > 255) throw MailvaneError(kErrInvalidCall);
    // Every key code is at least 48, so every sum has exactly two hexadecimal digits.
    stored += kHex[sum >> 4];
    stored += kHex[sum & 0xF];
  }
  return stored;
}

}  // namespace mailvane
