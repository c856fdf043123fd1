// The sentence for an outbound mail result code, for the log and the error mail.
#ifndef MAILVANE_HANDLER_MAIL_ERROR_H_
#define MAILVANE_HANDLER_MAIL_ERROR_H_

#include <string>

namespace mailvane {

// The mail layer's text for the code, or "Unrecognized error (<code>)". Never fails.
std::string GetMailErrorText(long code);

}  // namespace mailvane

#endif  // MAILVANE_HANDLER_MAIL_ERROR_H_
