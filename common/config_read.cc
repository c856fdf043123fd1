#include <cerrno>

#include "common/config.h"
#include "common/error.h"
#include "common/reg_functions.h"
#include "platform/files/file_system.h"

namespace mailvane {

static_assert(sizeof(ConfigRecord) == std::size(kMainSettings) * sizeof(std::string),
              "every field of the record has its row");

std::string ReadConfigValue(RegistryReader& registry, const std::string& name) {
  return ReadSettingText(registry, kSettingsKey, name);
}

SettingError::SettingError(int number, const std::string& setting, const std::string& problem)
    : MailvaneError(number, setting + ": " + problem + " (" + StandardMessageText(number) + ")"),
      setting_(setting) {}

void LoadHandlerSettings(RegistryReader& registry, FileSystem& files,
                         const std::string& program_folder, ConfigRecord* config) {
  LoadSettingsKey(registry, kMainKey, SettingsReader::kHandler, config);
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
