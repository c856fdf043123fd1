// The test that tells an e-mail recipient from a mobile number.
#ifndef MAILVANE_HANDLER_IS_EMAIL_ADDRESS_H_
#define MAILVANE_HANDLER_IS_EMAIL_ADDRESS_H_

#include <string>

namespace mailvane {

// True when the whole address matches the e-mail pattern, ignoring case: a local part starting
// with a letter, "@", a domain, ".", a last part of letters. A mobile number never matches.
bool IsEmailAddress(const std::string& address);

}  // namespace mailvane

#endif  // MAILVANE_HANDLER_IS_EMAIL_ADDRESS_H_
