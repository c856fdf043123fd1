#include "common/mail_settings.h"

#include <optional>

#include "common/config.h"
#include "platform/mail/mail.h"

namespace mailvane {

std::string ApplyMailTls(MailFactory& mail, const ConfigRecord& config) {
  const std::optional<MailTls> level = ParseMailTls(config.MailTLS);
  mail.SetTls(level.value_or(MailTls::kVerify), config.MailTLSCAFile);
  if (level) return "";
  return "!!!MailTLS \"" + config.MailTLS + "\" is not may, encrypt or verify: verify is used";
}

}  // namespace mailvane
