// Who a message is for: the recipients its headers name, and the envelope recipients they leave
// out. A recipient named only in RCPT TO (a blind copy) is served after the header recipients, so
// these keep their numbers. The server keeps a message's envelope record only when the headers
// may leave someone out.
#ifndef MAILVANE_COMMON_RECIPIENTS_H_
#define MAILVANE_COMMON_RECIPIENTS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mail/mail.h"

namespace mailvane {

// Two addresses name one recipient when they are equal ignoring ASCII case, or are so once spaces
// and "-" are removed ("+447700900123" and "+44 7700 900123").
bool SameRecipient(std::string_view a, std::string_view b);

// The envelope recipients that no header recipient and no earlier envelope recipient names, in
// their order, with empty names.
std::vector<MailRecipient> EnvelopeOnlyRecipients(const std::vector<MailRecipient>& header,
                                                  const std::vector<std::string>& envelope);

// The addresses of the To entries, then the Cc entries, of a stored message (header lines ending
// in CR LF, then an empty line) whose To and Cc entries are all written plainly: an address
// ("local@domain", or "<local@domain>" after a name of plain words) or anything else without
// quotes, comments, groups or encoded words (a number "+44 7700 900123"). These are exactly the
// addresses the mail reader takes from it. nullopt for anything else, where only the reader can
// tell: the header is then not plain enough to be sure.
std::optional<std::vector<std::string>> PlainHeaderRecipients(std::string_view message);

// True only when the message's headers surely name every envelope recipient, so that the handler
// serves the same recipients with or without the envelope record. False when unsure.
bool HeadersNameEveryRecipient(std::string_view message, const std::vector<std::string>& envelope);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_RECIPIENTS_H_
