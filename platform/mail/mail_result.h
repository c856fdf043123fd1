// The result codes of the mail layer and their texts. 0 is success; every other code names a
// failure of a load or a send. The renderer's own codes (101 and up) are in sms_renderer.h.
#ifndef MAILVANE_PLATFORM_MAIL_MAIL_RESULT_H_
#define MAILVANE_PLATFORM_MAIL_MAIL_RESULT_H_

#include "platform/base/send_outcome.h"

namespace mailvane {

inline constexpr long kMailOk = 0;
inline constexpr long kMailException = 1;
inline constexpr long kMailOutOfMemory = 3;
inline constexpr long kMailBodyError = 4;          // message body or attachments; unparseable
inline constexpr long kMailConversationError = 5;  // the greeting or HELO/EHLO failed
inline constexpr long kMailFromRefused = 7;
inline constexpr long kMailRecipientRefused = 8;
inline constexpr long kMailConnectError = 9;
inline constexpr long kMailFileOpenError = 10;
inline constexpr long kMailFileReadError = 11;
inline constexpr long kMailFileTemporaryError = 12;  // cannot be opened or read now; may pass
inline constexpr long kMailNoServer = 15;
inline constexpr long kMailSocketError = 16;
inline constexpr long kMailResolveError = 17;
inline constexpr long kMailBadResponse = 18;
inline constexpr long kMailThreadError = 19;
inline constexpr long kMailCancelled = 20;
inline constexpr long kMailResolveTimeout = 21;
inline constexpr long kMailConnectTimeout = 22;
inline constexpr long kMailAuthFailed = 24;
inline constexpr long kMailAuthNotSupported = 25;
inline constexpr long kMailAuthProtocolError = 26;
inline constexpr long kMailSocketTimeout = 27;

// The text of a code, or nullptr for a code without one.
const char* MailResultText(long code);

// How a failed send of the code may end. A mail server that cannot be found, reached or logged
// into, or that refuses the dialogue, fails every mail alike: kProvider. A stopped send is
// kStopping; anything else (a refused address, a broken or slow connection) kTemporary.
SendFailure MailFailureOf(long code);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_MAIL_MAIL_RESULT_H_
