// ASCII letter case and trimming over byte strings. Only the 26 ASCII letters have a case here:
// every other byte, UTF-8 sequences included, is compared as it is. Independent of the locale.
// Header only, so every layer and both programs can use it.
#ifndef MAILVANE_PLATFORM_BASE_ASCII_H_
#define MAILVANE_PLATFORM_BASE_ASCII_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace mailvane {

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string AsciiLowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

inline std::string AsciiUppered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

constexpr bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

constexpr bool EndsWithIgnoringAsciiCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsIgnoringAsciiCase(text.substr(text.size() - suffix.size()), suffix);
}

constexpr bool ContainsIgnoringAsciiCase(std::string_view text, std::string_view word) {
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (EqualsIgnoringAsciiCase(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

// Three trims, each named for what it removes at both ends:
// Mailvane's own rule for settings and lists: only the space character " ".
constexpr std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// Blanks, the white space inside a protocol line: space and horizontal tab.
constexpr bool IsAsciiBlank(char c) { return c == ' ' || c == '\t'; }
constexpr std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsAsciiBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsAsciiBlank(text.back())) text.remove_suffix(1);
  return text;
}

// All ASCII white space: space, tab, CR, LF, vertical tab and form feed.
constexpr bool IsAsciiWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
constexpr std::string_view TrimWhitespace(std::string_view text) {
  while (!text.empty() && IsAsciiWhitespace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsAsciiWhitespace(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_BASE_ASCII_H_
