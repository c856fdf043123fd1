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

// The digits of a mobile number as people write it, with its "+" first when it has one: ASCII
// digits, a "+" before them, and spaces, "-", "." and parentheses as formatting
// ("(07700) 900127" gives "07700900127"). nullopt when the digits would be a guess: any other
// character, a "+" after anything but spaces, parentheses that do not pair up, nest or hold no
// digit, a group of zeros only in an international number ("+44 (0) 7700 ..."), or no digit.
std::optional<std::string> NumberDigits(std::string_view number);

// The number handed to the SMS provider: as written, without the parentheses and dots that
// NumberDigits reads as formatting; a number it cannot read unchanged, for the provider's
// renderer to refuse as invalid.
std::string ProviderNumber(std::string_view number);

// Two addresses name one recipient when they are equal ignoring ASCII case, or are so once spaces
// and "-" are removed ("+447700900123" and "+44 7700 900123"), or when the parts before their
// "@" give the same NumberDigits and the rest is so ("(07700)900127@sms.example" and
// "07700 900127@SMS.example").
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
