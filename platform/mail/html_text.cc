// HTML to plain text for the body of a message that has no plain-text part. Linear in the input;
// not a full HTML parser: enough for the bodies that mail programs write.
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/ascii.h"
#include "platform/mail/stored_message_gmime.h"

namespace mailvane {
namespace {

void AppendUtf8(std::string* out, std::uint32_t code) {
  if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Decodes the entity that starts at html[pos] ('&'); returns the characters consumed, 0 when it
// is not an entity (the '&' is then kept as it is).
std::size_t DecodeEntity(std::string_view html, std::size_t pos, std::string* out) {
  std::size_t end = html.find(';', pos);
  if (end == std::string_view::npos || end - pos > 10 || end == pos + 1) return 0;
  std::string name = AsciiLowered(html.substr(pos + 1, end - pos - 1));
  if (name[0] == '#') {
    bool hex = name.size() > 1 && name[1] == 'x';
    std::string digits = name.substr(hex ? 2 : 1);
    if (digits.empty()) return 0;
    std::uint32_t code = 0;
    for (char c : digits) {
      int value = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                  : (hex && c >= 'a' && c <= 'f')             ? c - 'a' + 10
                                                              : -1;
      if (value < 0) return 0;
      code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(value);
      if (code > 0x10FFFF) code = 0x110000;  // saturate: invalid, replaced below
    }
    AppendUtf8(out, code);
    return end - pos + 1;
  }
  static constexpr struct {
    const char* name;
    std::uint32_t code;
  } kEntities[] = {{"amp", '&'},     {"lt", '<'},     {"gt", '>'},        {"quot", '"'},
                   {"apos", '\''},   {"nbsp", 0xA0},  {"copy", 0xA9},     {"reg", 0xAE},
                   {"euro", 0x20AC}, {"pound", 0xA3}, {"hellip", 0x2026}, {"ndash", 0x2013},
                   {"mdash", 0x2014}};
  for (const auto& entity : kEntities) {
    if (name == entity.name) {
      AppendUtf8(out, entity.code);
      return end - pos + 1;
    }
  }
  return 0;
}

void BreakLine(std::string* out) {
  while (!out->empty() && out->back() == ' ') out->pop_back();
  if (!out->empty() && out->back() != '\n') out->push_back('\n');
}

}  // namespace

std::string HtmlToText(std::string_view html) {
  const std::string lower = AsciiLowered(html);
  std::string out;
  std::size_t pos = 0;
  while (pos < html.size()) {
    char c = html[pos];
    if (c == '<') {
      if (html.substr(pos, 4) == "<!--") {
        std::size_t end = html.find("-->", pos + 4);
        pos = end == std::string_view::npos ? html.size() : end + 3;
        continue;
      }
      std::size_t end = html.find('>', pos);
      if (end == std::string_view::npos) break;
      std::string_view tag = html.substr(pos + 1, end - pos - 1);
      bool closing = !tag.empty() && tag[0] == '/';
      if (closing) tag.remove_prefix(1);
      std::size_t name_end = 0;
      while (name_end < tag.size() && std::isalnum(static_cast<unsigned char>(tag[name_end]))) {
        ++name_end;
      }
      std::string name = AsciiLowered(tag.substr(0, name_end));
      pos = end + 1;
      if (!closing && (name == "script" || name == "style")) {
        std::size_t close = lower.find("</" + name, pos);
        pos = close == std::string::npos ? html.size() : close;
        continue;
      }
      if (name == "br") {
        while (!out.empty() && out.back() == ' ') out.pop_back();
        out.push_back('\n');
      } else if (name == "p" || name == "div" || name == "tr" || name == "li" || name == "table" ||
                 name == "ul" || name == "ol" ||
                 (name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6')) {
        BreakLine(&out);
      }
      continue;
    }
    if (c == '&') {
      std::size_t used = DecodeEntity(html, pos, &out);
      if (used > 0) {
        pos += used;
        continue;
      }
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f') {
      if (!out.empty() && out.back() != ' ' && out.back() != '\n') out.push_back(' ');
      ++pos;
      continue;
    }
    out.push_back(c);
    ++pos;
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == '\n')) out.pop_back();
  return out;
}

}  // namespace mailvane
