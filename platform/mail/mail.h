// The outbound mail layer: reading one stored message (GMime) and sending one mail (libcurl), in
// place of the outbound mail components. One object per message or mail; objects are not shared
// between threads. Nothing here throws: results are codes (mail_result.h), and a sent mail's
// whole outcome is a SendOutcome.
#ifndef MAILVANE_PLATFORM_MAIL_MAIL_H_
#define MAILVANE_PLATFORM_MAIL_MAIL_H_

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/send_abort.h"
#include "platform/base/send_outcome.h"

namespace mailvane {

struct MailRecipient {
  // An e-mail address, or anything else as written in the message (a mobile number with its
  // spaces, "-", "+" or brackets).
  std::string address;
  std::string name;  // display name, decoded to UTF-8; empty when none

  bool operator==(const MailRecipient&) const = default;
};

// A stored message, read from a spool file.
class StoredMessage {
 public:
  StoredMessage() = default;
  StoredMessage(const StoredMessage&) = delete;
  StoredMessage& operator=(const StoredMessage&) = delete;
  virtual ~StoredMessage() = default;

  // Where the reader may keep temporary files; a folder ending in "/".
  virtual void SetTempDirectory(const std::string& folder) = 0;
  // Loads the message in the file. 0 when loaded; otherwise kMailFileTemporaryError (the file
  // cannot be opened or read now for a reason that may pass: descriptors or memory exhausted,
  // permission refused, an I/O error), kMailFileOpenError (missing, or not a regular file),
  // kMailFileReadError (any other read failure) or kMailBodyError (not a message). The three
  // numbers are kept for the caller's form and ignored.
  virtual long LoadMessage(const std::string& path, int a, int b, int c) = 0;

  // After a successful load, all in UTF-8: header words decoded, the body decoded from its
  // transfer encoding and charset (of a multipart message its first text/plain part, or the text
  // of its HTML part when it has no plain one). Lines of BodyText end in CR LF.
  virtual std::string Subject() const = 0;
  virtual std::string BodyText() const = 0;
  virtual std::string From() const = 0;      // sender display name
  virtual std::string FromAddr() const = 0;  // sender address
  // One recipient per entry of To, then of Cc, in order; a group gives its members, an empty
  // entry nothing. An entry that is not an e-mail address is taken as written (trimmed): the
  // text inside <...> as the address and the text before it as the name (quotes dropped, words
  // decoded), or without <...> the whole entry as the address.
  virtual const std::vector<MailRecipient>& Recipients() const = 0;
};

// One mail to send.
class OutgoingMail {
 public:
  OutgoingMail() = default;
  OutgoingMail(const OutgoingMail&) = delete;
  OutgoingMail& operator=(const OutgoingMail&) = delete;
  virtual ~OutgoingMail() = default;

  virtual void Reset() = 0;
  virtual void SetBodyFormat() = 0;  // plain text, the only format sent
  // ";"-separated list of "host" or "host:port" (25 when none), tried in order.
  virtual void SetMailServer(const std::string& servers) = 0;
  virtual void SetSubject(const std::string& subject) = 0;
  virtual void SetBodyText(const std::string& body) = 0;
  virtual void AddRecipient(const std::string& name, const std::string& address) = 0;
  virtual void SetFrom(const std::string& name) = 0;
  virtual void SetFromAddr(const std::string& address) = 0;
  // Composes and sends the mail; 0 when a server took it, else a code of mail_result.h from the
  // last server tried. Bounded in time by MailOptions.
  virtual long Send() = 0;
  // What the last Send came to: its code, what the last server said or what failed (for logs;
  // empty after a success) and MailFailureOf the code.
  virtual const SendOutcome& Outcome() const = 0;
};

// Outbound TLS, in the manner of Postfix's smtp_tls_security_level.
enum class MailTls {
  kMay,      // STARTTLS when the server offers it, certificate not verified; else plain text
  kEncrypt,  // STARTTLS required, certificate not verified
  kVerify,   // STARTTLS required, CA chain and host name verified
};

// The level a setting's text names: "may", "encrypt" or "verify" in any letter case, and the
// empty text (the setting absent) as "may"; nullopt for anything else.
std::optional<MailTls> ParseMailTls(std::string_view text);
const char* MailTlsName(MailTls level);  // "may", "encrypt", "verify"

struct MailOptions {
  std::chrono::milliseconds connect_timeout{10'000};
  std::chrono::milliseconds transfer_timeout{30'000};  // the whole dialogue with one server
  std::string helo_name;                               // empty: the host name
  MailTls tls = MailTls::kMay;
  std::string tls_ca_file;  // the CA certificates that kVerify trusts; empty: the system's
  // Ends a send under way within about a second (Send then answers kMailCancelled); may be null.
  std::shared_ptr<SendAbort> abort;
};

class MailFactory {
 public:
  MailFactory() = default;
  MailFactory(const MailFactory&) = delete;
  MailFactory& operator=(const MailFactory&) = delete;
  virtual ~MailFactory() = default;

  virtual std::unique_ptr<StoredMessage> NewStoredMessage() = 0;
  virtual std::unique_ptr<OutgoingMail> NewOutgoingMail() = 0;
  // The TLS level and CA file of every mail created from now on (the settings are read after the
  // factory is made).
  virtual void SetTls(MailTls level, const std::string& ca_file) = 0;
};

std::unique_ptr<MailFactory> NewMailFactory(MailOptions options = {});

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_MAIL_MAIL_H_
