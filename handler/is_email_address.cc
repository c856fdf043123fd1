#include "handler/is_email_address.h"

#include "platform/regexp/regexp.h"

namespace mailvane {

bool IsEmailAddress(const std::string& address) {
  std::unique_ptr<RegExp> expression = NewRegExp();
  expression->SetPattern(
      R"(^[a-zA-Z][\w\.-]*[a-zA-Z0-9]@[a-zA-Z0-9][\w\.-]*[a-zA-Z0-9]\.[a-zA-Z][a-zA-Z\.]*[a-zA-Z]$)");
  expression->SetGlobal(true);
  expression->SetIgnoreCase(true);
  return expression->Test(address);
}

}  // namespace mailvane
