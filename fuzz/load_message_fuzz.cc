// Arbitrary bytes as a stored message: the reader must return a code, never crash or leak.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/mail/stored_message_gmime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mailvane::ParsedMessage parsed;
  mailvane::ParseStoredMessage(std::string_view(reinterpret_cast<const char*>(data), size),
                               &parsed);
  return 0;
}
