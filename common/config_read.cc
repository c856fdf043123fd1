#include <cerrno>

#include "common/config.h"
#include "common/error.h"
#include "common/reg_functions.h"
#include "common/scramble.h"
#include "platform/files/file_system.h"

namespace mailvane {

std::string ReadConfigValue(RegistryReader& registry, const std::string& name) {
  RegValue value = ReadSetting(registry, HKEY_LOCAL_MACHINE, kSettingsKey, name);
  if (const int32_t* number = std::get_if<int32_t>(&value)) return std::to_string(*number);
  const std::string* text = std::get_if<std::string>(&value);
  if (text == nullptr) return std::string();
  std::string result = *text;
  // A string read back carries the terminator it was stored with; one stored without keeps all
  // of its characters.
  if (!result.empty() && result.back() == '\0') result.pop_back();
  return result;
}

SettingError::SettingError(int number, const std::string& setting, const std::string& problem)
    : MailvaneError(number, setting + ": " + problem + " (" + StandardMessageText(number) + ")"),
      setting_(setting) {}

std::string UnscrambledAccessPassword(const std::string& stored) {
  if (stored.empty()) return stored;
  try {
    return UnscramblePassword(stored);
  } catch (const MailvaneError& error) {
    throw SettingError(error.number(), "AccessPassword",
                       "the stored value is not a scrambled password (two hexadecimal digits "
                       "per character, as the settings dialog saves it)");
  }
}

void LoadHandlerSettings(RegistryReader& registry, FileSystem& files,
                         const std::string& program_folder, ConfigRecord* config) {
  ConfigRecord& c = *config;
  c.MailServer = ReadConfigValue(registry, "MailServer");
  c.LogDir = WithFolderSeparator(ReadConfigValue(registry, "LogDir"));
  c.ErrorMailAddress = ReadConfigValue(registry, "ErrorMailAddress");
  c.InternalPort = ReadConfigValue(registry, "InternalPort");
  c.ErrorMailName = ReadConfigValue(registry, "ErrorMailName");
  c.MailFromAddress = ReadConfigValue(registry, "MailFromAddress");
  c.AccessUserName = ReadConfigValue(registry, "AccessUserName");
  c.MessageExpiry = ReadConfigValue(registry, "MessageExpiry");
  c.AccessPassword = ReadConfigValue(registry, "AccessPassword");
  c.AccessPassword = UnscrambledAccessPassword(c.AccessPassword);
  c.MaxLength = ReadConfigValue(registry, "MaxLength");
  c.ForwardOK = ReadConfigValue(registry, "ForwardOK");
  c.StripCRLF = ReadConfigValue(registry, "StripCRLF");
  c.MailTLS = ReadConfigValue(registry, "MailTLS");
  c.MailTLSCAFile = ReadConfigValue(registry, "MailTLSCAFile");
  SetProgramFolderCurrent(files, program_folder);
}

void SetProgramFolderCurrent(FileSystem& files, const std::string& program_folder) {
  std::error_code ec = files.SetCurrentFolder(program_folder);
  if (!ec) return;
  int number = ec.value() == ENOENT || ec.value() == ENOTDIR ? kErrPathNotFound
                                                             : FileErrorNumber(ec.value());
  throw MailvaneError(number, StandardMessageText(number) + ": " + program_folder);
}

std::string WithFolderSeparator(std::string log_dir) {
  if (!log_dir.empty() && log_dir.back() != '\\' && log_dir.back() != '/') log_dir += '/';
  return log_dir;
}

}  // namespace mailvane
