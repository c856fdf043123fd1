// The allow-list parser and the address formatter on any text: no crash, both tables always of
// one size, every stored entry admits its own text, and a formatted address formats to itself.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/allow_list.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckFormat(const std::string& text) {
  std::string formatted = mailvane::FormatIPAddress(text);
  Check(formatted.empty() || mailvane::FormatIPAddress(formatted) == formatted);
  Check(formatted.size() <= 15);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  CheckFormat(text);
  mailvane::AllowList list;
  int loaded = list.LoadAllowedIPs(text);
  Check(loaded == 0 || loaded == 1);
  Check(list.addresses().size() == list.masks().size());
  Check(!list.addresses().empty());
  for (size_t i = 0; i < list.addresses().size(); ++i) {
    CheckFormat(list.addresses()[i]);
    CheckFormat(list.masks()[i]);
    Check(list.IsIPAllowed(list.addresses()[i]) == 1);
  }
  if (loaded == 1) {
    for (const std::string& address : list.addresses()) {
      Check(!mailvane::FormatIPAddress(address).empty());
    }
  }
  (void)list.IsIPAllowed(text);
  return 0;
}
