// Characters of UTF-8 text. A character is a byte that does not continue a sequence, with the
// bytes that continue it; a stray continuing byte at the very start counts as one. Header only,
// so every layer and both programs can use it.
#ifndef MAILVANE_PLATFORM_BASE_UTF8_H_
#define MAILVANE_PLATFORM_BASE_UTF8_H_

#include <cstddef>
#include <string_view>

namespace mailvane {

constexpr bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The first n characters of the text, never part of one; the whole text when it has no more.
constexpr std::string_view CutCharacters(std::string_view text, std::size_t n) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i > 0 && IsUtf8Continuation(text[i])) continue;
    if (count++ == n) return text.substr(0, i);
  }
  return text;
}

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_BASE_UTF8_H_
