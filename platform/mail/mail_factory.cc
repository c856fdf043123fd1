// The mail layer of the real programs: GMime for reading, libcurl for sending.
#include <utility>

#include "platform/mail/mail.h"
#include "platform/mail/outgoing_mail_curl.h"
#include "platform/mail/stored_message_gmime.h"

namespace mailvane {
namespace {

class PosixMailFactory final : public MailFactory {
 public:
  explicit PosixMailFactory(MailOptions options) : options_(std::move(options)) {}
  std::unique_ptr<StoredMessage> NewStoredMessage() override { return NewGmimeStoredMessage(); }
  std::unique_ptr<OutgoingMail> NewOutgoingMail() override { return NewCurlOutgoingMail(options_); }

 private:
  const MailOptions options_;
};

}  // namespace

std::unique_ptr<MailFactory> NewMailFactory(MailOptions options) {
  return std::make_unique<PosixMailFactory>(std::move(options));
}

}  // namespace mailvane
