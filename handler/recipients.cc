#include "handler/recipients.h"

#include "platform/base/ascii.h"

namespace mailvane {
// Equality once spaces and "-" are dropped covers plain equality as well.
bool SameRecipient(std::string_view a, std::string_view b) {
  auto skip = [](char c) { return c == ' ' || c == '-'; };
  size_t i = 0, j = 0;
  for (;;) {
    while (i < a.size() && skip(a[i])) ++i;
    while (j < b.size() && skip(b[j])) ++j;
    if (i == a.size() || j == b.size()) return i == a.size() && j == b.size();
    if (AsciiLower(a[i++]) != AsciiLower(b[j++])) return false;
  }
}

std::vector<MailRecipient> EnvelopeOnlyRecipients(const std::vector<MailRecipient>& header,
                                                  const std::vector<std::string>& envelope) {
  std::vector<MailRecipient> extra;
  auto named = [](const std::string& address, const std::vector<MailRecipient>& list) {
    for (const MailRecipient& r : list) {
      if (SameRecipient(r.address, address)) return true;
    }
    return false;
  };
  for (const std::string& address : envelope) {
    if (!address.empty() && !named(address, header) && !named(address, extra)) {
      extra.push_back({address, ""});
    }
  }
  return extra;
}

}  // namespace mailvane
