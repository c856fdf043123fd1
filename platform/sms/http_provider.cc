#include "platform/sms/http_provider.h"

#include <boost/json.hpp>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/base/ascii.h"
#include "platform/base/utf8.h"

namespace mailvane {
namespace {

constexpr std::size_t kMaxNumberDigits = 20;

const std::string* ValueOf(const HttpPlaceholders& v, std::string_view word) {
  if (word == "number") return &v.number;
  if (word == "digits") return &v.digits;
  if (word == "text") return &v.text;
  if (word == "account") return &v.account;
  if (word == "password") return &v.password;
  if (word == "name") return &v.name;
  if (word == "from") return &v.from;
  if (word == "reference") return &v.reference;
  return nullptr;
}

// Calls found(start, end, word) for each {word} of lowercase letters.
template <typename Found>
void EachBraced(std::string_view text, Found found) {
  for (std::size_t open = text.find('{'); open != std::string_view::npos;
       open = text.find('{', open + 1)) {
    std::size_t end = open + 1;
    while (end < text.size() && text[end] >= 'a' && text[end] <= 'z') ++end;
    if (end > open + 1 && end < text.size() && text[end] == '}') {
      found(open, end + 1, text.substr(open + 1, end - open - 1));
    }
  }
}

std::optional<boost::json::value> ParseJson(std::string_view text) {
  boost::system::error_code ec;
  boost::json::value value =
      boost::json::parse(boost::json::string_view(text.data(), text.size()), ec);
  if (ec) return std::nullopt;
  return value;
}

}  // namespace

std::string HttpEscaped(std::string_view text, HttpEscape escape) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (escape) {
      case HttpEscape::kUrl:
      case HttpEscape::kForm:
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
          out.push_back(ch);
        } else {
          out += {'%', kHex[c >> 4], kHex[c & 15]};
        }
        break;
      case HttpEscape::kJson:
        if (c == '"' || c == '\\') {
          out += {'\\', ch};
        } else if (c == '\n') {
          out += "\\n";
        } else if (c == '\r') {
          out += "\\r";
        } else if (c == '\t') {
          out += "\\t";
        } else if (c < 0x20) {
          out += "\\u00";
          out += {kHex[c >> 4], kHex[c & 15]};
        } else {
          out.push_back(ch);
        }
        break;
      case HttpEscape::kXml:
        switch (ch) {
          case '&':
            out += "&amp;";
            break;
          case '<':
            out += "&lt;";
            break;
          case '>':
            out += "&gt;";
            break;
          case '"':
            out += "&quot;";
            break;
          case '\'':
            out += "&apos;";
            break;
          default:
            out.push_back(ch);
        }
        break;
      case HttpEscape::kHeader:
        if (c >= 0x20 && c != 0x7F) out.push_back(ch);
        break;
      case HttpEscape::kNone:
        out.push_back(ch);
        break;
    }
  }
  return out;
}

std::optional<HttpEscape> BodyEscapeOf(std::string_view content_type) {
  const std::string type = AsciiLowered(content_type);
  if (type.find("json") != std::string::npos) return HttpEscape::kJson;
  if (type.find("x-www-form-urlencoded") != std::string::npos) return HttpEscape::kForm;
  if (type.find("xml") != std::string::npos) return HttpEscape::kXml;
  if (type.rfind("text/plain", 0) == 0) return HttpEscape::kNone;
  return std::nullopt;
}

std::string HttpReference(std::string_view message, std::string_view digits) {
  std::uint64_t hash = 14695981039346656037ULL;
  auto mix = [&hash](std::string_view text) {
    for (char c : text) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 1099511628211ULL;
    }
  };
  mix(message);
  mix(std::string_view("\0", 1));
  mix(digits);
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

std::string ExpandHttpTemplate(std::string_view text, const HttpPlaceholders& values,
                               HttpEscape escape) {
  std::string out;
  std::size_t copied = 0;
  EachBraced(text, [&](std::size_t start, std::size_t end, std::string_view word) {
    if (const std::string* value = ValueOf(values, word)) {
      out.append(text.substr(copied, start - copied));
      out += HttpEscaped(*value, escape);
      copied = end;
    }
  });
  out.append(text.substr(copied));
  return out;
}

std::vector<std::string> UnknownHttpPlaceholders(std::string_view text) {
  std::vector<std::string> unknown;
  HttpPlaceholders none;
  EachBraced(text, [&](std::size_t, std::size_t, std::string_view word) {
    if (ValueOf(none, word) == nullptr) unknown.push_back("{" + std::string(word) + "}");
  });
  return unknown;
}

std::optional<std::string> HttpNumberDigits(std::string_view number) {
  std::string out;
  for (char c : number) {
    if (c == ' ' || c == '-') continue;
    if (c == '+' && out.empty()) {
      out.push_back(c);
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    out.push_back(c);
  }
  const std::size_t digits = out.size() - (!out.empty() && out[0] == '+' ? 1 : 0);
  if (digits < 1 || digits > kMaxNumberDigits) return std::nullopt;
  return out;
}

std::optional<std::string> JsonPointerText(std::string_view json, std::string_view pointer) {
  std::optional<boost::json::value> root = ParseJson(json);
  if (!root) return std::nullopt;
  boost::system::error_code ec;
  const boost::json::value* found =
      root->find_pointer(boost::json::string_view(pointer.data(), pointer.size()), ec);
  if (found == nullptr || ec) return std::nullopt;
  if (const boost::json::string* s = found->if_string()) return std::string(s->data(), s->size());
  if (found->is_null()) return std::string();
  return boost::json::serialize(*found);
}

std::optional<std::pair<long, long>> ParseStatusRange(std::string_view text) {
  auto status = [](std::string_view t) -> std::optional<long> {
    if (t.size() != 3) return std::nullopt;
    long v = 0;
    for (char c : t) {
      if (c < '0' || c > '9') return std::nullopt;
      v = v * 10 + (c - '0');
    }
    if (v < 100 || v > 599) return std::nullopt;
    return v;
  };
  const std::size_t dash = text.find('-');
  std::optional<long> low = status(text.substr(0, dash));
  std::optional<long> high = dash == std::string_view::npos ? low : status(text.substr(dash + 1));
  if (!low || !high || *low > *high) return std::nullopt;
  return std::make_pair(*low, *high);
}

std::string HttpSuccessProblem(const HttpSuccessRule& rule, long status, std::string_view body) {
  if (status < rule.low || status > rule.high) {
    return "status " + std::to_string(status) + " is not " + std::to_string(rule.low) +
           (rule.high != rule.low ? "-" + std::to_string(rule.high) : std::string());
  }
  if (rule.pointer.empty()) return {};
  std::optional<std::string> found = JsonPointerText(body, rule.pointer);
  if (!found || (rule.value.empty() && found->empty())) {
    return "the answer has no " + rule.pointer;
  }
  if (!rule.value.empty() && *found != rule.value) {
    return rule.pointer + " is \"" + std::string(CutCharacters(*found, 40)) + "\", not \"" +
           rule.value + "\"";
  }
  return {};
}

std::string WithoutPassword(std::string text, std::string_view password) {
  if (password.empty()) return text;
  for (std::size_t at = text.find(password); at != std::string::npos;
       at = text.find(password, at + 3)) {
    text.replace(at, password.size(), "***");
  }
  return text;
}

std::string HttpErrorText(long status, std::string_view body, std::string_view error_pointer,
                          std::string_view why, std::string_view password) {
  std::string text;
  if (!error_pointer.empty()) text = JsonPointerText(body, error_pointer).value_or("");
  if (text.empty()) {
    const std::size_t start = body.find_first_not_of(" \t\r\n");
    if (start != std::string_view::npos) {
      text = body.substr(start, body.find_first_of("\r\n", start) - start);
    }
  }
  if (text.empty()) text = why;
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  text = WithoutPassword(std::move(text), password);
  return "HTTP " + std::to_string(status) + ": " +
         std::string(CutCharacters(text, kMaxProviderErrorText));
}

std::optional<std::chrono::seconds> ParseRetryAfter(std::string_view text, TimePoint now) {
  if (text.empty()) return std::nullopt;
  if (text.find_first_not_of("0123456789") == std::string_view::npos) {
    if (text.size() > 9) return std::nullopt;
    return std::chrono::seconds(std::stol(std::string(text)));
  }
  // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT".
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const std::string date(text);
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, used = 0;
  char month[4] = "";
  if (std::sscanf(date.c_str(), "%*3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d GMT%n", &day, month,
                  &year, &hour, &minute, &second, &used) != 6 ||
      static_cast<std::size_t>(used) != date.size() || std::strlen(month) != 3) {
    return std::nullopt;
  }
  const char* at = std::strstr(kMonths, month);
  if (at == nullptr || (at - kMonths) % 3 != 0 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60) {
    return std::nullopt;
  }
  const int month_number = static_cast<int>((at - kMonths) / 3) + 1;
  const std::chrono::seconds then(DaysFromCivil(year, month_number, day) * 86400LL + hour * 3600LL +
                                  minute * 60LL + second);
  const auto wait = then - std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch());
  return wait.count() > 0 ? wait : std::chrono::seconds(0);
}

std::string HttpOrigin(std::string_view url) {
  const std::size_t scheme = url.find("://");
  const std::size_t host = scheme == std::string_view::npos ? 0 : scheme + 3;
  std::size_t end = url.find_first_of("/?#", host);
  if (end == std::string_view::npos) end = url.size();
  std::string_view authority = url.substr(host, end - host);
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  return std::string(url.substr(0, host)) + std::string(authority);
}

std::optional<HttpProvider> HttpPreset(std::string_view name) {
  const std::string preset = AsciiLowered(name);
  HttpProvider p;
  if (preset == "form-basic") {
    p.content_type = "application/x-www-form-urlencoded";
    p.body = "To={digits}&From={from}&Body={text}";
    p.basic_auth = true;
    p.success.pointer = "/sid";
    p.error_pointer = "/message";
  } else if (preset == "json-key") {
    p.content_type = "application/json";
    p.body =
        "{\"api_key\":\"{account}\",\"api_secret\":\"{password}\",\"from\":\"{from}\","
        "\"to\":\"{digits}\",\"text\":\"{text}\",\"client-ref\":\"{reference}\"}";
    p.success.pointer = "/messages/0/status";
    p.success.value = "0";
    p.error_pointer = "/messages/0/error-text";
  } else if (preset != "template") {
    return std::nullopt;
  }
  return p;
}

HttpRequest BuildHttpRequest(const HttpProvider& provider, const HttpPlaceholders& values) {
  HttpRequest request;
  request.method = provider.method;
  request.url = ExpandHttpTemplate(provider.url, values, HttpEscape::kUrl);
  if (!provider.content_type.empty())
    request.headers.emplace_back("Content-Type", provider.content_type);
  for (const auto& [name, value] : provider.headers) {
    request.headers.emplace_back(name, ExpandHttpTemplate(value, values, HttpEscape::kHeader));
  }
  if (provider.method != "GET") {
    // Settings with a placeholder in a body of an unknown type are refused before any send.
    request.body = ExpandHttpTemplate(
        provider.body, values, BodyEscapeOf(provider.content_type).value_or(HttpEscape::kNone));
  }
  if (provider.basic_auth) {
    request.user = values.account;
    request.password = values.password;
  }
  return request;
}

}  // namespace mailvane
