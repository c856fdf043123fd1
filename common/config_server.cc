#include <exception>
#include <functional>

#include "common/allow_list.h"
#include "common/config.h"
#include "common/log.h"
#include "common/reg_functions.h"
#include "mailvane_version.h"
#include "platform/files/file_system.h"

namespace mailvane {
namespace {

// Runs one step of the first-run initialisation; a failure is dropped and the next step runs.
void IgnoringErrors(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception&) {
  }
}

std::string DefaultLogDir(const std::string& program_folder) {
  std::string folder = program_folder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

}  // namespace

void LoadSettings(ServerSettingsContext& context) {
  ConfigRecord& c = context.config;
  LoadSettingsKey(context.registry, kMainKey, SettingsReader::kServer, &c);
  // An empty list leaves the allow-list in effect as it was; an invalid one is used as parsed.
  if (!c.AllowedIP.empty()) (void)context.allow_list.LoadAllowedIPs(c.AllowedIP);
  SetProgramFolderCurrent(context.files, context.program_folder);
  EnsureSpoolFolder(context.files, c.LogDir);
  context.window.SetCaption("Mailvane - " + std::to_string(kVersionMajor) + "." +
                            std::to_string(kVersionMinor) + "." + std::to_string(kVersionRevision));
  context.sweep_counter = 1;
  context.spool_counter = 0;
}

void WriteDefaultSettings(ServerSettingsContext& context) {
  Registry& registry = context.registry;
  IgnoringErrors([&] { CreateRegKey(registry, HKEY_LOCAL_MACHINE, kSettingsKey); });
  IgnoringErrors([&] {
    ConfigRecord defaults = DefaultSettings(kMainKey);
    defaults.LogDir = DefaultLogDir(context.program_folder);
    // A value that could not be written stays missing; the next start writes the defaults again
    // when MailServer is among them.
    (void)WriteSettings(registry, kMainKey, defaults,
                        [](const MainSetting& row) { return row.default_value != nullptr; });
  });
  IgnoringErrors([&] { context.window.SetLabel1(kFirstRunNotice); });
  IgnoringErrors([&] { (void)context.allow_list.LoadAllowedIPs("127.0.0.1"); });
}

void RunSettingsStartup(ServerSettingsContext& context) {
  LoadSettings(context);
  if (!context.config.MailServer.empty()) return;
  WriteDefaultSettings(context);
  LoadSettings(context);
}

}  // namespace mailvane
