// The mail layer of the real programs: GMime for reading, libcurl for sending.
#include <cctype>
#include <utility>

#include "platform/base/ascii.h"
#include "platform/mail/mail.h"
#include "platform/mail/outgoing_mail_curl.h"
#include "platform/mail/stored_message_gmime.h"

namespace mailvane {
namespace {

class PosixMailFactory final : public MailFactory {
 public:
  explicit PosixMailFactory(MailOptions options)
      : options_(std::move(options)), connections_(NewMailConnectionCache()) {}
  std::unique_ptr<StoredMessage> NewStoredMessage() override { return NewGmimeStoredMessage(); }
  std::unique_ptr<OutgoingMail> NewOutgoingMail() override {
    return NewCurlOutgoingMail(options_, connections_);
  }
  void SetTls(MailTls level, const std::string& ca_file) override {
    options_.tls = level;
    options_.tls_ca_file = ca_file;
  }

 private:
  MailOptions options_;
  std::shared_ptr<MailConnectionCache> connections_;  // the mails' open connections
};

}  // namespace

std::optional<MailTls> ParseMailTls(std::string_view text) {
  for (MailTls level : {MailTls::kMay, MailTls::kEncrypt, MailTls::kVerify}) {
    if (EqualsIgnoringAsciiCase(text, MailTlsName(level))) return level;
  }
  if (text.empty()) return MailTls::kMay;
  return std::nullopt;
}

const char* MailTlsName(MailTls level) {
  switch (level) {
    case MailTls::kEncrypt:
      return "encrypt";
    case MailTls::kVerify:
      return "verify";
    case MailTls::kMay:
      break;
  }
  return "may";
}

std::unique_ptr<MailFactory> NewMailFactory(MailOptions options) {
  return std::make_unique<PosixMailFactory>(std::move(options));
}

}  // namespace mailvane
