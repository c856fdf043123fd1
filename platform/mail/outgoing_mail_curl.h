// The libcurl sender behind OutgoingMail, and its two halves on their own for tests: the server
// list and the composed message text.
#ifndef MAILVANE_PLATFORM_MAIL_OUTGOING_MAIL_CURL_H_
#define MAILVANE_PLATFORM_MAIL_OUTGOING_MAIL_CURL_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/mail/mail.h"

namespace mailvane {

struct MailServerEntry {
  std::string host;  // an IPv6 literal without its brackets
  int port = 25;     // 0 when the entry's port is not a number from 1 to 65535
};

// Splits a MailServer text: ";"-separated "host", "host:port", "[v6]" or "[v6]:port"; spaces
// around entries are dropped and empty entries skipped.
std::vector<MailServerEntry> ParseMailServers(const std::string& servers);

struct ComposedMail {
  std::string from_name;
  std::string from_addr;
  std::vector<MailRecipient> recipients;
  std::string subject;
  std::string body;
  std::string message_id_domain;  // the domain of Message-ID
};

// The message text (CR LF line ends throughout): Date, Message-ID, From, To, Subject (RFC 2047
// when not ASCII), MIME-Version and a text/plain; charset=utf-8 body in 7bit, quoted-printable
// or base64, whichever GMime finds best. Invalid UTF-8 in the inputs is replaced, line breaks in
// header texts become spaces.
std::string ComposeMailText(const ComposedMail& mail);

// Connections that the mails of one factory leave open for the next mail to the same server, for
// at most kMailConnectionIdleSeconds after their last use, so that a burst of mails pays one
// connect and greeting. Usable from several threads at once.
class MailConnectionCache;
inline constexpr long kMailConnectionIdleSeconds = 10;
std::shared_ptr<MailConnectionCache> NewMailConnectionCache();

// Without a cache every server is given a fresh connection, closed after the mail.
std::unique_ptr<OutgoingMail> NewCurlOutgoingMail(
    const MailOptions& options, std::shared_ptr<MailConnectionCache> connections = nullptr);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_MAIL_OUTGOING_MAIL_CURL_H_
