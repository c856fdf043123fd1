#include "common/config.h"
#include "common/scramble.h"
#include "common/settings_table.h"

namespace mailvane {

std::string ReadSettingText(RegistryReader& registry, const char* key, const std::string& name) {
  RegValue value = ReadSetting(registry, HKEY_LOCAL_MACHINE, key, name);
  if (const int32_t* number = std::get_if<int32_t>(&value)) return std::to_string(*number);
  const std::string* text = std::get_if<std::string>(&value);
  if (text == nullptr) return std::string();
  std::string result = *text;
  // A string read back carries the terminator it was stored with; one stored without keeps all
  // of its characters.
  if (!result.empty() && result.back() == '\0') result.pop_back();
  return result;
}

std::string HeldSettingText(SettingKind kind, const char* name, const std::string& stored) {
  if (kind == SettingKind::kFolder) return WithFolderSeparator(stored);
  if (kind != SettingKind::kPassword || stored.empty()) return stored;
  try {
    return UnscramblePassword(stored);
  } catch (const MailvaneError& error) {
    throw SettingError(error.number(), name,
                       "the stored value is not a scrambled password (two hexadecimal digits "
                       "per character, as the settings dialog saves it)");
  }
}

}  // namespace mailvane
