// The IP allow-list: entries of a single IPv4 address or a base address and a mask joined by "/",
// separated by ",". One AllowList per program, owned by its service window.
#ifndef MAILVANE_COMMON_ALLOW_LIST_H_
#define MAILVANE_COMMON_ALLOW_LIST_H_

#include <string>
#include <vector>

namespace mailvane {

// The address in normalised dotted decimal ("192.168.1.18" for "192.168.001.018"), or the empty
// text when it is not a valid IPv4 address. Only digits and "." are looked at.
std::string FormatIPAddress(const std::string& text);

class AllowList {
 public:
  // Splits and validates the list text and always replaces both tables, also when an entry is
  // invalid (the tables then hold the list as far as it was parsed). 1 when every entry is
  // valid, 0 at the first invalid one. On 0 the entries up to the invalid one are trimmed and
  // split at "/"; those after it stay as split at ",", untrimmed, with an empty mask. The empty
  // text is one empty entry, hence invalid: 0, with one empty address and mask.
  int LoadAllowedIPs(const std::string& list_text);
  // 1 when the client's dotted address matches an entry by exact text (as the administrator wrote
  // it) or, for an entry with a mask, when client AND mask equals base AND mask; else 0. An entry
  // whose base or mask is not a valid address matches by exact text only.
  int IsIPAllowed(const std::string& client_address) const;

  const std::vector<std::string>& addresses() const { return addresses_; }
  const std::vector<std::string>& masks() const { return masks_; }

 private:
  std::vector<std::string> addresses_;
  std::vector<std::string> masks_;
};

}  // namespace mailvane

#endif  // MAILVANE_COMMON_ALLOW_LIST_H_
