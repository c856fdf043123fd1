// How one SMS becomes a request to a provider's REST API and how its answer is read: the
// request's template with its placeholders, each escaped for where it stands, the two presets
// that most providers follow, the success rule, the provider's error text and Retry-After.
// Pure functions, any thread.
#ifndef MAILVANE_PLATFORM_SMS_HTTP_PROVIDER_H_
#define MAILVANE_PLATFORM_SMS_HTTP_PROVIDER_H_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/loop/clock.h"
#include "platform/sms/http_client.h"

namespace mailvane {

// Where a placeholder stands, which decides its escaping: percent-encoding (RFC 3986 unreserved
// characters kept) in the URL and in a form body; JSON string escaping (the template gives the
// quotes) in a body whose content type names json; the five XML entities (&amp; &lt; &gt; &quot;
// &apos;) in a body whose type names xml; control characters dropped in a header; as it is in a
// text/plain body.
enum class HttpEscape { kUrl, kForm, kJson, kXml, kHeader, kNone };

std::string HttpEscaped(std::string_view text, HttpEscape escape);
// The escaping of a body of the content type; nothing for a type whose syntax Mailvane does not
// know (an empty type included), where a placeholder could change the request's meaning.
std::optional<HttpEscape> BodyEscapeOf(std::string_view content_type);

// The text of {reference} for one recipient of one message: 16 lowercase hex digits of a 64-bit
// FNV-1a hash of the message's name (the spool file's name) and the recipient's digits. The same
// for every try of that recipient, in any process, so that a provider that drops a repeated
// client reference drops a repeated send.
std::string HttpReference(std::string_view message, std::string_view digits);

// The values of the placeholders {number}, {digits}, {text}, {account}, {password}, {name},
// {from} and {reference}.
struct HttpPlaceholders {
  std::string number;  // as the handler gave it
  std::string digits;  // HttpNumberDigits of it
  std::string text;
  std::string account;   // AccessUserName
  std::string password;  // AccessPassword, plain
  std::string name;      // the recipient's display name
  std::string from;
  std::string reference;  // HttpReference of the message and the digits
};

// The template with every placeholder replaced by its escaped value; any other text, braces
// included, stays.
std::string ExpandHttpTemplate(std::string_view text, const HttpPlaceholders& values,
                               HttpEscape escape);

// The {word}s of a template (lowercase letters between braces) that are not placeholders.
std::vector<std::string> UnknownHttpPlaceholders(std::string_view text);

// The number without spaces and "-", a leading "+" kept: "+44 7700-900123" gives
// "+447700900123", "07700 900123" gives "07700900123". Nothing when what remains, after the
// "+", is not 1 to 20 ASCII digits.
std::optional<std::string> HttpNumberDigits(std::string_view number);

// The value at a JSON pointer (RFC 6901) of a JSON text, as text: a string as it is, null as
// empty, any other value as JSON. Nothing when the text is not JSON or the pointer leads nowhere.
std::optional<std::string> JsonPointerText(std::string_view json, std::string_view pointer);

// A 2xx-style answer counts when its status is within [low, high] and, with a pointer, the value
// there is value (compared as text), or with an empty value, present and not empty.
struct HttpSuccessRule {
  long low = 200;
  long high = 299;
  std::string pointer;
  std::string value;
};

// "200-299" or "200", statuses from 100 to 599, low <= high.
std::optional<std::pair<long, long>> ParseStatusRange(std::string_view text);

// Empty when the answer is a success; otherwise why not, for the error text.
std::string HttpSuccessProblem(const HttpSuccessRule& rule, long status, std::string_view body);

// Characters of the provider's error text kept in ErrorText.
inline constexpr std::size_t kMaxProviderErrorText = 200;

// The text with every occurrence of the password replaced by "***", for a text that may echo the
// request (an error text, a failure of the client). An empty password changes nothing.
std::string WithoutPassword(std::string text, std::string_view password);

// "HTTP " & status & ": " & the provider's text: the string at error_pointer in its JSON, else
// the first line of the body, else why (when given). Cut to kMaxProviderErrorText characters; the
// password, where it appears, becomes "***".
std::string HttpErrorText(long status, std::string_view body, std::string_view error_pointer,
                          std::string_view why, std::string_view password);

// Retry-After as delta seconds or an HTTP date (IMF-fixdate, GMT), as the wait from now; a date
// in the past waits 0. Nothing when empty or unreadable.
std::optional<std::chrono::seconds> ParseRetryAfter(std::string_view text, TimePoint now);

// Scheme, host and port of a URL, without user, path or query: what a failure may name.
std::string HttpOrigin(std::string_view url);

// A complete request style: a preset with the administrator's values laid over it.
struct HttpProvider {
  std::string url;
  std::string method = "POST";
  std::string content_type;
  std::vector<std::pair<std::string, std::string>> headers;  // values are templates
  std::string body;
  bool basic_auth = false;  // the account and password as HTTP basic authentication
  HttpSuccessRule success;
  std::string error_pointer;
  std::string from;
};

// The presets' values: "form-basic", "json-key" and "template" (nothing filled in). Nothing for
// any other name. Case-insensitive.
std::optional<HttpProvider> HttpPreset(std::string_view name);

// The request for one number; the placeholders are filled in by the caller.
HttpRequest BuildHttpRequest(const HttpProvider& provider, const HttpPlaceholders& values);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMS_HTTP_PROVIDER_H_
