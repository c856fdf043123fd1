#include "platform/registry/store_file.h"

#include <cstring>
#include <utility>

#include "platform/base/ascii.h"

namespace mailvane {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
// regedit wraps hex lists before this column.
constexpr size_t kHexWrapColumn = 76;

struct RootEntry {
  HKEY handle;
  std::string_view name;
};
constexpr RootEntry kRoots[] = {
    {0x80000000, "HKEY_CLASSES_ROOT"},   {0x80000001, "HKEY_CURRENT_USER"},
    {0x80000002, "HKEY_LOCAL_MACHINE"},  {0x80000003, "HKEY_USERS"},
    {0x80000005, "HKEY_CURRENT_CONFIG"},
};

bool StartsWithName(std::string_view path, std::string_view prefix) {
  return path.size() >= prefix.size() && RegistryNamesEqual(path.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A whole number of 1 to 8 hex digits.
bool ParseHex32(std::string_view s, uint32_t* out) {
  if (s.empty() || s.size() > 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

// "41,42,43": bytes of one or two hex digits separated by commas; blanks around them and one
// trailing comma are accepted. An empty list is no bytes.
bool ParseHexList(std::string_view s, std::string* out) {
  out->clear();
  s = TrimLeft(TrimRight(s));
  if (s.empty()) return true;
  if (s.back() == ',') s.remove_suffix(1);
  while (true) {
    size_t comma = s.find(',');
    std::string_view item = TrimLeft(TrimRight(s.substr(0, comma)));
    uint32_t byte = 0;
    if (item.size() > 2 || !ParseHex32(item, &byte)) return false;
    out->push_back(static_cast<char>(byte));
    if (comma == std::string_view::npos) return true;
    s.remove_prefix(comma + 1);
  }
}

bool IsHexListText(std::string_view s) {
  for (char c : s) {
    if (HexDigit(c) < 0 && c != ',' && c != '\\' && !IsBlank(c)) return false;
  }
  return true;
}

// Reads a quoted text starting at s[0] == '"': \" and \\ are escapes, a backslash before any
// other character stands for itself. On success *rest is what follows the closing quote.
bool ParseQuoted(std::string_view s, std::string* out, std::string_view* rest) {
  out->clear();
  if (s.empty() || s[0] != '"') return false;
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      *rest = s.substr(i + 1);
      return true;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '"' || s[i + 1] == '\\')) {
      out->push_back(s[++i]);
    } else {
      out->push_back(c);
    }
  }
  return false;
}

void AppendQuoted(std::string_view text, std::string* out) {
  out->push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

// The quoted form carries a string of one terminating zero and no control characters.
bool FitsQuotedForm(const StoredValue& value) {
  if (value.type != REG_SZ || value.data.empty() || value.data.back() != '\0') return false;
  for (size_t i = 0; i + 1 < value.data.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(value.data[i]);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

void AppendHexList(std::string_view data, size_t column, std::string* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(data[i]);
    out->push_back(kDigits[b >> 4]);
    out->push_back(kDigits[b & 15]);
    column += 2;
    if (i + 1 < data.size()) {
      out->push_back(',');
      ++column;
      if (column >= kHexWrapColumn) {
        out->append("\\\n  ");
        column = 2;
      }
    }
  }
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// UTF-16LE (after its byte order mark) as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) |
           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
  };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), &out);
        i += 2;
        continue;
      }
    }
    AppendUtf8((u >= 0xD800 && u < 0xE000) ? 0xFFFD : u, &out);
  }
  return out;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  ParsedStore Run() {
    if (text_.empty()) return std::move(result_);
    std::string_view first;
    if (!NextLine(&first)) return std::move(result_);
    std::string_view header = TrimRight(first);
    if (header != kHeader4 && header != kHeader5) {
      result_.bad_header = true;
      Line(first);
    }
    std::string_view line;
    while (NextLine(&line)) Line(line);
    return std::move(result_);
  }

 private:
  bool NextLine(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    return true;
  }

  bool PeekLine(std::string_view* line) const {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(pos_, end - pos_);
    return true;
  }

  void Bad() { ++result_.bad_lines; }

  void Line(std::string_view raw) {
    std::string_view line = TrimLeft(TrimRight(raw));
    if (line.empty() || line[0] == ';') return;
    if (line[0] == '[') return Section(line);
    if (line[0] == '"' || line[0] == '@') return Value(line);
    Bad();
  }

  void Section(std::string_view line) {
    section_valid_ = false;
    if (line.back() != ']') return Bad();
    std::string_view path = line.substr(1, line.size() - 2);
    if (!IsValidKeyPath(path)) return Bad();
    // The root is written as the system names it.
    size_t slash = path.find('\\');
    std::string canonical(CanonicalRoot(path.substr(0, slash)));
    if (slash != std::string_view::npos) canonical.append(path.substr(slash));
    result_.store.AddSection(canonical);
    section_ = std::move(canonical);
    section_valid_ = true;
  }

  void Value(std::string_view line) {
    std::string name;
    std::string_view rest;
    if (line[0] == '@') {
      rest = line.substr(1);
    } else if (!ParseQuoted(line, &name, &rest)) {
      return Bad();
    }
    rest = TrimLeft(rest);
    if (rest.empty() || rest[0] != '=') return Bad();
    rest = TrimLeft(rest.substr(1));

    uint32_t type = REG_NONE;
    std::string data;
    bool ok = false;
    if (!rest.empty() && rest[0] == '"') {
      std::string_view after;
      ok = ParseQuoted(rest, &data, &after) && TrimRight(after).empty();
      data.push_back('\0');
      type = REG_SZ;
    } else if (StartsWithName(rest, "dword:")) {
      uint32_t number = 0;
      ok = ParseHex32(TrimRight(rest.substr(6)), &number);
      type = REG_DWORD;
      for (int i = 0; i < 4; ++i) data.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
    } else if (StartsWithName(rest, "hex")) {
      ok = HexValue(rest.substr(3), &type, &data);
    }
    if (!ok || !section_valid_) return Bad();
    result_.store.SetValue(section_, name, type, std::move(data));
  }

  // After "hex": ":list" (type 3) or "(N):list", the list continued over lines ending in '\'.
  bool HexValue(std::string_view s, uint32_t* type, std::string* data) {
    *type = REG_BINARY;
    if (!s.empty() && s[0] == '(') {
      size_t close = s.find(')');
      if (close == std::string_view::npos || !ParseHex32(s.substr(1, close - 1), type)) {
        return false;
      }
      s.remove_prefix(close + 1);
    }
    if (s.empty() || s[0] != ':') return false;
    std::string list(TrimRight(s.substr(1)));
    while (!list.empty() && list.back() == '\\') {
      list.pop_back();
      std::string_view next;
      // A continuation holds only hex list characters; anything else is left to be read as a
      // line of its own, and the cut value is lost.
      if (!PeekLine(&next) || !IsHexListText(next)) return false;
      NextLine(&next);
      list.append(TrimRight(TrimLeft(next)));
    }
    return ParseHexList(list, data);
  }

  static std::string_view CanonicalRoot(std::string_view written) {
    for (const RootEntry& root : kRoots) {
      if (RegistryNamesEqual(root.name, written)) return root.name;
    }
    return written;
  }

  std::string_view text_;
  size_t pos_ = 0;
  ParsedStore result_;
  std::string section_;
  bool section_valid_ = false;
};

}  // namespace

bool RegistryNamesEqual(std::string_view a, std::string_view b) {
  return EqualsIgnoringAsciiCase(a, b);
}

std::string_view RootKeyName(HKEY root) {
  for (const RootEntry& r : kRoots) {
    if (r.handle == root) return r.name;
  }
  return {};
}

const StoredValue* StoredKey::FindValue(std::string_view name) const {
  for (const StoredValue& v : values) {
    if (RegistryNamesEqual(v.name, name)) return &v;
  }
  return nullptr;
}

void StoredKey::SetValue(std::string_view name, uint32_t type, std::string data) {
  for (StoredValue& v : values) {
    if (RegistryNamesEqual(v.name, name)) {
      v.type = type;
      v.data = std::move(data);
      return;
    }
  }
  values.push_back({std::string(name), type, std::move(data)});
}

const StoredKey* Store::FindKey(std::string_view path) const {
  for (const StoredKey& k : keys_) {
    if (RegistryNamesEqual(k.path, path)) return &k;
  }
  return nullptr;
}

StoredKey* Store::FindKey(std::string_view path) {
  return const_cast<StoredKey*>(static_cast<const Store*>(this)->FindKey(path));
}

bool Store::KeyExists(std::string_view path) const {
  if (path.find('\\') == std::string_view::npos) return true;  // a root
  for (const StoredKey& k : keys_) {
    if (k.path.size() < path.size() || !StartsWithName(k.path, path)) continue;
    if (k.path.size() == path.size() || k.path[path.size()] == '\\') return true;
  }
  return false;
}

bool Store::CreateKey(std::string_view path) {
  if (KeyExists(path)) return false;
  for (size_t slash = path.find('\\'); slash != std::string_view::npos;) {
    slash = path.find('\\', slash + 1);
    std::string_view prefix = path.substr(0, slash);
    if (!KeyExists(prefix)) keys_.push_back({std::string(prefix), {}});
  }
  return true;
}

void Store::SetValue(std::string_view path, std::string_view name, uint32_t type,
                     std::string data) {
  AddSection(path)->SetValue(name, type, std::move(data));
}

StoredKey* Store::AddSection(std::string_view path) {
  StoredKey* key = FindKey(path);
  if (key != nullptr) return key;
  keys_.push_back({std::string(path), {}});
  return &keys_.back();
}

bool IsValidKeyPath(std::string_view path) {
  size_t slash = path.find('\\');
  std::string_view root = path.substr(0, slash);
  bool known = false;
  for (const RootEntry& r : kRoots) known = known || RegistryNamesEqual(r.name, root);
  if (!known) return false;
  if (path.find_first_of("\r\n") != std::string_view::npos) return false;
  while (slash != std::string_view::npos) {
    size_t next = path.find('\\', slash + 1);
    if (next == slash + 1 || slash + 1 == path.size()) return false;  // an empty name
    slash = next;
  }
  return true;
}

bool IsValidValueName(std::string_view name) { return name.find('\n') == std::string_view::npos; }

ParsedStore ParseStoreFile(std::string_view text) {
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
      static_cast<unsigned char>(text[1]) == 0xFE) {
    std::string utf8 = Utf16LeToUtf8(text.substr(2));
    return Parser(utf8).Run();
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return Parser(text).Run();
}

std::string SerializeStore(const Store& store) {
  std::string out;
  out.append(kHeader4).append("\n\n");
  for (const StoredKey& key : store.keys()) {
    out.append("[").append(key.path).append("]\n");
    for (const StoredValue& value : key.values) {
      size_t line_start = out.size();
      if (value.name.empty()) {
        out.push_back('@');
      } else {
        AppendQuoted(value.name, &out);
      }
      out.push_back('=');
      if (FitsQuotedForm(value)) {
        AppendQuoted(std::string_view(value.data).substr(0, value.data.size() - 1), &out);
      } else if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t number = 0;
        for (int i = 3; i >= 0; --i) {
          number = (number << 8) | static_cast<unsigned char>(value.data[i]);
        }
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08x", number);
        out.append("dword:").append(digits);
      } else {
        if (value.type == REG_BINARY) {
          out.append("hex:");
        } else {
          char type[16];
          std::snprintf(type, sizeof type, "hex(%x):", value.type);
          out.append(type);
        }
        AppendHexList(value.data, out.size() - line_start, &out);
      }
      out.push_back('\n');
    }
    out.push_back('\n');
  }
  return out;
}

long KeyHandles::Resolve(HKEY root, const std::string& sub_key, std::string* full_path) const {
  std::string base(RootKeyName(root));
  if (base.empty()) {
    auto it = open_.find(root);
    if (it == open_.end()) return ERROR_INVALID_HANDLE;
    base = it->second.path;
  }
  std::string_view sub = sub_key;
  if (!sub.empty() && sub.back() == '\\') sub.remove_suffix(1);
  std::string full = base;
  if (!sub.empty()) full.append("\\").append(sub);
  if (!IsValidKeyPath(full)) return ERROR_INVALID_PARAMETER;
  *full_path = std::move(full);
  return ERROR_SUCCESS;
}

HKEY KeyHandles::Add(OpenKey key) {
  // Handles stay below the predefined roots' values and are not handed out twice while open.
  while (next_ == 0 || next_ >= 0x80000000 || open_.count(next_) != 0) {
    next_ = (next_ == 0 || next_ >= 0x80000000) ? 1 : next_ + 1;
  }
  HKEY handle = next_++;
  open_.emplace(handle, std::move(key));
  return handle;
}

KeyHandles::OpenKey* KeyHandles::Find(HKEY key) {
  auto it = open_.find(key);
  return it == open_.end() ? nullptr : &it->second;
}

bool KeyHandles::Remove(HKEY key) { return open_.erase(key) > 0; }

long KeyHandles::Query(HKEY key, const std::string& value_name, uint32_t* type, uint8_t* data,
                       uint32_t* size) {
  OpenKey* open = Find(key);
  if (open == nullptr) return ERROR_INVALID_HANDLE;
  const StoredValue* value = nullptr;
  for (const StoredValue& v : open->values) {
    if (RegistryNamesEqual(v.name, value_name)) value = &v;
  }
  return QueryStoredValue(value, type, data, size);
}

long QueryStoredValue(const StoredValue* value, uint32_t* type, uint8_t* data, uint32_t* size) {
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->type;
  uint32_t needed = static_cast<uint32_t>(value->data.size());
  if (data == nullptr) {
    if (size != nullptr) *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (needed > 0) std::memcpy(data, value->data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

}  // namespace mailvane
