// Arbitrary bytes as a stored message: whatever header is taken as plain must give exactly the
// addresses the mail reader takes from it, since the server spares the envelope record on that
// ground alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/recipients.h"
#include "platform/mail/stored_message_gmime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  const std::optional<std::vector<std::string>> plain = mailvane::PlainHeaderRecipients(message);
  if (!plain) return 0;
  mailvane::ParsedMessage parsed;
  if (mailvane::ParseStoredMessage(message, &parsed) != 0) return 0;  // not served at all
  std::vector<std::string> read;
  for (const mailvane::MailRecipient& r : parsed.recipients) read.push_back(r.address);
  if (read != *plain) std::abort();
  return 0;
}
