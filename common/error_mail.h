// Error notification mail to the administrator, through the mail layer. No retry and no queue: a
// mail that cannot be sent is recorded by the program's own failure recorder and is lost.
#ifndef MAILVANE_COMMON_ERROR_MAIL_H_
#define MAILVANE_COMMON_ERROR_MAIL_H_

#include <functional>
#include <string>

namespace mailvane {

class Clock;
class MailFactory;

struct ErrorMail {
  std::string subject;
  std::string body;
  std::string address;  // recipient address
  std::string name;     // recipient display name
  std::string sender_name;
  std::string sender_address;
};

// Sends the mail over mail_server (the whole ";" list) unless the address or mail_server is empty.
// When Send fails, record_failure receives "<general date> Cannot send mail....<code>".
void SendErrorMail(MailFactory& mail, const Clock& clock, const std::string& mail_server,
                   const ErrorMail& message,
                   const std::function<void(const std::string&)>& record_failure);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_ERROR_MAIL_H_
