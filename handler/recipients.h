// Which envelope recipients a message's headers leave out. A recipient named only in RCPT TO (a
// blind copy) is served after the header recipients, so these keep their numbers.
#ifndef MAILVANE_HANDLER_RECIPIENTS_H_
#define MAILVANE_HANDLER_RECIPIENTS_H_

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

}  // namespace mailvane

#endif  // MAILVANE_HANDLER_RECIPIENTS_H_
