#include <cstdint>
#include <optional>
#include <string>

#include "common/convert.h"
#include "common/reg_functions.h"

namespace mailvane {
namespace {

// The variant as text: a number in decimal, empty as "".
std::string AsText(const RegValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* number = std::get_if<int32_t>(&value)) return std::to_string(*number);
  return "";
}

// The variant as a 32-bit number; nullopt for a text that is no whole number.
std::optional<int32_t> AsNumber(const RegValue& value) {
  if (const auto* number = std::get_if<int32_t>(&value)) return *number;
  if (const auto* text = std::get_if<std::string>(&value)) return ToWholeNumber(*text);
  return std::nullopt;
}

}  // namespace

long WriteRegValue(Registry& registry, HKEY key, const std::string& name, uint32_t type,
                   const RegValue& value) {
  if (type == REG_SZ) {
    // The text with its terminating zero; an empty text is stored as no bytes at all.
    std::string text = AsText(value);
    uint32_t size = text.empty() ? 0 : static_cast<uint32_t>(text.size() + 1);
    return registry.RegSetValueEx(key, name, 0, REG_SZ,
                                  reinterpret_cast<const uint8_t*>(text.c_str()), size);
  }
  if (type == REG_DWORD) {
    std::optional<int32_t> converted = AsNumber(value);
    if (!converted) return ERROR_INVALID_PARAMETER;
    uint32_t number = static_cast<uint32_t>(*converted);
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>((number >> (8 * i)) & 0xFF);
    return registry.RegSetValueEx(key, name, 0, REG_DWORD, bytes, sizeof bytes);
  }
  return ERROR_SUCCESS;
}

void CreateRegKey(Registry& registry, HKEY root, const std::string& path) {
  HKEY key = 0;
  uint32_t disposition = 0;
  registry.RegCreateKeyEx(root, path, 0, nullptr, 0, KEY_ALL_ACCESS_3F, nullptr, &key,
                          &disposition);
  registry.RegCloseKey(key);
}

long WriteSetting(Registry& registry, HKEY root, const std::string& path, const std::string& name,
                  const RegValue& value, uint32_t type) {
  HKEY key = 0;
  const long opened = registry.RegOpenKeyEx(root, path, 0, KEY_ALL_ACCESS_3F, &key);
  const long written =
      opened == ERROR_SUCCESS ? WriteRegValue(registry, key, name, type, value) : opened;
  registry.RegCloseKey(key);
  return written;
}

}  // namespace mailvane
