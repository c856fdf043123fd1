#include "common/convert.h"

#include <cmath>
#include <cstdlib>

#include "common/error.h"
#include "platform/base/ascii.h"

namespace mailvane {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<double> ParsePrefixed(std::string_view body, int base) {
  if (body.empty() || body.size() > 16) return std::nullopt;
  uint64_t value = 0;
  for (char c : body) {
    int digit;
    if (IsDigit(c)) {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    value = value * base + digit;
  }
  if (value > 0xFFFFFFFFull) return std::nullopt;
  // Like the platform, an 8-digit hex literal is a signed 32-bit pattern and a 4-digit one 16-bit.
  if (value > 0x7FFFFFFFull) return static_cast<double>(static_cast<int32_t>(value));
  if (body.size() <= 4 && base == 16 && value > 0x7FFF) {
    return static_cast<double>(static_cast<int16_t>(value));
  }
  return static_cast<double>(value);
}

}  // namespace

std::optional<double> ParseNumber(std::string_view text) {
  std::string_view t = TrimSpaces(text);
  if (t.size() >= 2 && t[0] == '&') {
    char kind = t[1];
    if (kind == 'H' || kind == 'h') return ParsePrefixed(t.substr(2), 16);
    if (kind == 'O' || kind == 'o') return ParsePrefixed(t.substr(2), 8);
    return std::nullopt;
  }
  std::string plain;  // the number without grouping, for strtod
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) plain += t[i++];
  size_t digits = 0;
  while (i < t.size() && (IsDigit(t[i]) || t[i] == ',')) {
    if (t[i] == ',') {
      // A group separator must stand between digits.
      if (digits == 0 || i + 1 >= t.size() || !IsDigit(t[i + 1])) return std::nullopt;
    } else {
      plain += t[i];
      ++digits;
    }
    ++i;
  }
  if (i < t.size() && t[i] == '.') {
    plain += t[i++];
    while (i < t.size() && IsDigit(t[i])) {
      plain += t[i++];
      ++digits;
    }
  }
  if (digits == 0) return std::nullopt;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    plain += 'e';
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) plain += t[i++];
    size_t exp_digits = 0;
    while (i < t.size() && IsDigit(t[i])) {
      plain += t[i++];
      ++exp_digits;
    }
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != t.size()) return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(plain.c_str(), &end);
  if (end != plain.c_str() + plain.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

int16_t ToInt16(std::string_view text) {
  std::optional<double> value = ParseNumber(text);
  if (!value) throw MailvaneError(kErrTypeMismatch);
  double rounded = std::nearbyint(*value);  // the default rounding mode rounds halves to even
  if (rounded < -32768.0 || rounded > 32767.0) throw MailvaneError(kErrOverflow);
  return static_cast<int16_t>(rounded);
}

std::optional<int32_t> ToWholeNumber(std::string_view text) {
  std::string_view t = TrimSpaces(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (i == t.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < t.size(); ++i) {
    if (!IsDigit(t[i])) return std::nullopt;
    value = value * 10 + (t[i] - '0');
    if (value > 2147483648LL) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(value);
}

}  // namespace mailvane
