#include "handler/mail_error.h"

#include "platform/mail/mail_result.h"

namespace mailvane {

std::string GetMailErrorText(long code) {
  if (const char* text = MailResultText(code)) return text;
  return "Unrecognized error (" + std::to_string(code) + ")";
}

}  // namespace mailvane
