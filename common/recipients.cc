#include "common/recipients.h"

#include <algorithm>

#include "platform/base/ascii.h"

namespace mailvane {
namespace {

constexpr std::string_view::size_type kNone = std::string_view::npos;

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsAtext(char c) {
  return IsAsciiAlnum(c) || std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != kNone;
}

// A To or Cc value without the delimiters of quotes, comments, groups, escapes, domain literals
// and encoded words, and without bytes outside printable ASCII but tab.
bool IsPlainValue(std::string_view value) {
  for (char c : value) {
    if (c != '\t' && (c < 0x20 || c > 0x7e)) return false;
    if (std::string_view("\"()\\:;[]").find(c) != kNone) return false;
  }
  return value.find("=?") == kNone;
}

// Dot-separated runs of allowed bytes, none empty.
template <typename Allowed>
bool IsDotted(std::string_view text, Allowed allowed) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  if (text.find("..") != kNone) return false;
  return std::all_of(text.begin(), text.end(), [&](char c) { return c == '.' || allowed(c); });
}

// "local@domain" as dot-atoms, the domain of letters, digits and "-", none of its labels an
// internationalised one (which the reader may decode).
bool IsPlainAddrSpec(std::string_view text) {
  const auto at = text.find('@');
  if (at == kNone || text.find('@', at + 1) != kNone) return false;
  const std::string_view domain = text.substr(at + 1);
  if (!IsDotted(text.substr(0, at), IsAtext)) return false;
  if (!IsDotted(domain, [](char c) { return IsAsciiAlnum(c) || c == '-'; })) return false;
  for (auto label = domain;;) {
    if (StartsWithIgnoringAsciiCase(label, "xn--")) return false;
    const auto dot = label.find('.');
    if (dot == kNone) return true;
    label.remove_prefix(dot + 1);
  }
}

// The address the reader takes from one plain entry (empty when the entry names nobody), or
// nullopt when the entry is not plain. As the reader does, an entry that is an e-mail address by
// its form is read as one; anything else is taken as written, the text inside <...> when there
// is one.
std::optional<std::string_view> PlainEntryAddress(std::string_view entry) {
  entry = TrimBlanks(entry);
  std::string_view address = entry;
  std::string_view name;
  const auto open = entry.find('<');
  if (open == kNone) {
    if (entry.find('>') != kNone) return std::nullopt;
  } else {
    if (entry.find('>') != entry.size() - 1 || entry.find('<', open + 1) != kNone)
      return std::nullopt;
    address = TrimBlanks(entry.substr(open + 1, entry.size() - open - 2));
    name = TrimBlanks(entry.substr(0, open));
  }
  const bool blank = std::any_of(address.begin(), address.end(), IsAsciiBlank);
  if (address.find('@') != kNone && !blank) {  // read as an e-mail address
    if (!IsPlainAddrSpec(address)) return std::nullopt;
    if (!std::all_of(name.begin(), name.end(),
                     [](char c) { return IsAtext(c) || IsAsciiBlank(c); }))
      return std::nullopt;
  }
  return address;
}

// Adds the addresses of a To or Cc value's entries; false when the value is not plain.
bool AddPlainEntries(std::string_view value, std::vector<std::string>* out) {
  if (!IsPlainValue(value)) return false;
  for (;;) {
    const auto comma = value.find(',');
    const std::optional<std::string_view> address = PlainEntryAddress(value.substr(0, comma));
    if (!address) return false;
    if (!address->empty()) out->emplace_back(*address);
    if (comma == kNone) return true;
    value.remove_prefix(comma + 1);
  }
}

bool IsPlainFieldName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return IsAsciiAlnum(c) || c == '-' || c == '_' || c == '.';
  });
}

// Equality once spaces and "-" are dropped covers plain equality as well.
bool SameIgnoringCaseSpacesAndDashes(std::string_view a, std::string_view b) {
  auto skip = [](char c) { return c == ' ' || c == '-'; };
  size_t i = 0, j = 0;
  for (;;) {
    while (i < a.size() && skip(a[i])) ++i;
    while (j < b.size() && skip(b[j])) ++j;
    if (i == a.size() || j == b.size()) return i == a.size() && j == b.size();
    if (AsciiLower(a[i++]) != AsciiLower(b[j++])) return false;
  }
}

}  // namespace

std::optional<std::string> NumberDigits(std::string_view number) {
  std::string digits;
  bool plus = false;
  bool started = false;  // a character other than a space has been seen
  size_t group = kNone;  // while a parenthesis is open: where its digits begin
  for (char c : number) {
    if (c >= '0' && c <= '9') {
      digits.push_back(c);
    } else if (c == '+') {
      if (started) return std::nullopt;
      plus = true;
    } else if (c == '(') {
      if (group != kNone) return std::nullopt;
      group = digits.size();
    } else if (c == ')') {
      if (group == kNone || group == digits.size()) return std::nullopt;
      const bool zeros = digits.find_first_not_of('0', group) == kNone;
      if (zeros && (plus || digits.starts_with("00"))) return std::nullopt;
      group = kNone;
    } else if (c != ' ' && c != '-' && c != '.') {
      return std::nullopt;
    }
    started |= c != ' ';
  }
  if (group != kNone || digits.empty()) return std::nullopt;
  return plus ? "+" + digits : digits;
}

std::string ProviderNumber(std::string_view number) {
  if (!NumberDigits(number)) return std::string(number);
  std::string out;
  for (char c : number) {
    if (c != '(' && c != ')' && c != '.') out.push_back(c);
  }
  return out;
}

bool SameRecipient(std::string_view a, std::string_view b) {
  if (SameIgnoringCaseSpacesAndDashes(a, b)) return true;
  const size_t at_a = std::min(a.find('@'), a.size());
  const size_t at_b = std::min(b.find('@'), b.size());
  const std::optional<std::string> digits_a = NumberDigits(a.substr(0, at_a));
  return digits_a && digits_a == NumberDigits(b.substr(0, at_b)) &&
         SameIgnoringCaseSpacesAndDashes(a.substr(at_a), b.substr(at_b));
}

std::vector<MailRecipient> EnvelopeOnlyRecipients(const std::vector<MailRecipient>& header,
                                                  const std::vector<std::string>& envelope) {
  std::vector<MailRecipient> extra;
  auto named = [](const std::string& address, const std::vector<MailRecipient>& list) {
    for (const MailRecipient& r : list) {
      if (SameRecipient(r.address, address)) return true;
    }
    return false;
  };
  for (const std::string& address : envelope) {
    if (!address.empty() && !named(address, header) && !named(address, extra)) {
      extra.push_back({address, ""});
    }
  }
  return extra;
}

std::optional<std::vector<std::string>> PlainHeaderRecipients(std::string_view message) {
  const auto end = message.find("\r\n\r\n");
  if (end == kNone) return std::nullopt;
  std::string_view header = message.substr(0, end + 2);
  std::vector<std::string> to;
  std::vector<std::string> cc;
  std::vector<std::string>* field = nullptr;  // the list of the To or Cc field being read
  std::string value;                          // its value, unfolded
  auto finish_field = [&] { return field == nullptr || AddPlainEntries(value, field); };
  bool first = true;
  while (!header.empty()) {
    const auto eol = header.find("\r\n");
    const std::string_view line = header.substr(0, eol);
    header.remove_prefix(eol + 2);
    // Control bytes (a lone CR or LF among them) and lines of blanks alone may end the header
    // where the reader sees it end: not plain.
    for (unsigned char c : line) {
      if ((c < 0x20 && c != '\t') || c == 0x7f) return std::nullopt;
    }
    if (TrimBlanks(line).empty()) return std::nullopt;
    if (IsAsciiBlank(line.front())) {  // a continuation
      if (first) return std::nullopt;
      if (field != nullptr) value.append(line);
      continue;
    }
    first = false;
    if (!finish_field()) return std::nullopt;
    const auto colon = line.find(':');
    if (colon == kNone || !IsPlainFieldName(line.substr(0, colon))) return std::nullopt;
    const std::string_view name = line.substr(0, colon);
    field = EqualsIgnoringAsciiCase(name, "To")   ? &to
            : EqualsIgnoringAsciiCase(name, "Cc") ? &cc
                                                  : nullptr;
    value.assign(line.substr(colon + 1));
  }
  if (!finish_field()) return std::nullopt;
  to.insert(to.end(), cc.begin(), cc.end());
  return to;
}

bool HeadersNameEveryRecipient(std::string_view message, const std::vector<std::string>& envelope) {
  const std::optional<std::vector<std::string>> named = PlainHeaderRecipients(message);
  if (!named) return false;
  return std::all_of(envelope.begin(), envelope.end(), [&](const std::string& address) {
    return address.empty() || std::any_of(named->begin(), named->end(), [&](const std::string& n) {
             return SameRecipient(n, address);
           });
  });
}

}  // namespace mailvane
