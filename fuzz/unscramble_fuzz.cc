// Unscrambling any stored text: either a MailvaneError or a password whose stored form is the
// text in upper case.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/error.h"
#include "common/scramble.h"
#include "platform/base/ascii.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string stored(reinterpret_cast<const char*>(data), size);
  std::string password;
  try {
    password = mailvane::UnscramblePassword(stored);
  } catch (const mailvane::MailvaneError&) {
    return 0;
  }
  std::string upper = stored;
  upper = mailvane::AsciiUppered(upper);
  if (password.size() * 2 != stored.size()) std::abort();
  if (!mailvane::CanScramblePassword(password)) std::abort();
  if (mailvane::ScramblePassword(password) != upper) std::abort();
  return 0;
}
