// The settings of the outbound mail that both programs apply to their mail layer once their
// configuration record is loaded.
#ifndef MAILVANE_COMMON_MAIL_SETTINGS_H_
#define MAILVANE_COMMON_MAIL_SETTINGS_H_

#include <string>

namespace mailvane {

struct ConfigRecord;
class MailFactory;

// Sets the factory's TLS level from MailTLS ("may", "encrypt", "verify"; "may" when absent) and
// the CA file of "verify" from MailTLSCAFile (the system's when empty). A MailTLS that names no
// level is taken as "verify", the strictest, so that a mistyped setting never sends in plain
// text; the result is then the line to log about it, else empty.
std::string ApplyMailTls(MailFactory& mail, const ConfigRecord& config);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_MAIL_SETTINGS_H_
