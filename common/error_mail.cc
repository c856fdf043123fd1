#include "common/error_mail.h"

#include "common/text.h"
#include "platform/loop/clock.h"
#include "platform/mail/mail.h"

namespace mailvane {

void SendErrorMail(MailFactory& mail, const Clock& clock, const std::string& mail_server,
                   const ErrorMail& message,
                   const std::function<void(const std::string&)>& record_failure) {
  if (message.address.empty() || mail_server.empty()) return;
  std::unique_ptr<OutgoingMail> smtp = mail.NewOutgoingMail();
  smtp->Reset();
  smtp->SetBodyFormat();
  smtp->SetMailServer(mail_server);
  smtp->SetSubject(message.subject);
  smtp->SetBodyText(message.body);
  smtp->AddRecipient(message.name, message.address);
  smtp->SetFrom(message.sender_name);
  smtp->SetFromAddr(message.sender_address);
  long result = smtp->Send();
  if (result != 0) {
    record_failure(FormatGeneralDate(clock.LocalNow()) + " Cannot send mail...." +
                   std::to_string(result));
  }
}

}  // namespace mailvane
