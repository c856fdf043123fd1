#include <exception>
#include <functional>

#include "common/allow_list.h"
#include "common/config.h"
#include "common/log.h"
#include "common/reg_functions.h"
#include "common/scramble.h"
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
  RegistryReader& registry = context.registry;
  ConfigRecord& c = context.config;
  c.MailServer = ReadConfigValue(registry, "MailServer");
  c.LogDir = WithFolderSeparator(ReadConfigValue(registry, "LogDir"));
  c.ErrorMailAddress = ReadConfigValue(registry, "ErrorMailAddress");
  c.InternalPort = ReadConfigValue(registry, "InternalPort");
  c.ErrorMailName = ReadConfigValue(registry, "ErrorMailName");
  c.MailFromAddress = ReadConfigValue(registry, "MailFromAddress");
  c.AccessUserName = ReadConfigValue(registry, "AccessUserName");
  c.AccessPassword = ReadConfigValue(registry, "AccessPassword");
  c.AccessPassword = UnscrambledAccessPassword(c.AccessPassword);
  c.MessageExpiry = ReadConfigValue(registry, "MessageExpiry");
  c.MaxLength = ReadConfigValue(registry, "MaxLength");
  c.AllowedIP = ReadConfigValue(registry, "AllowedIP");
  // An empty list leaves the allow-list in effect as it was; an invalid one is used as parsed.
  if (!c.AllowedIP.empty()) (void)context.allow_list.LoadAllowedIPs(c.AllowedIP);
  c.ForwardOK = ReadConfigValue(registry, "ForwardOK");
  c.StripCRLF = ReadConfigValue(registry, "StripCRLF");
  c.LogDays = ReadConfigValue(registry, "LogDays");
  c.MailTLS = ReadConfigValue(registry, "MailTLS");
  c.MailTLSCAFile = ReadConfigValue(registry, "MailTLSCAFile");
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
  auto write = [&](const char* name, const std::function<std::string()>& value) {
    IgnoringErrors([&] {
      WriteSetting(registry, HKEY_LOCAL_MACHINE, kSettingsKey, name, RegValue(value()), REG_SZ);
    });
  };
  auto text = [](std::string value) { return [value] { return value; }; };
  write("MailServer", text(kDefaultMailServer));
  write("LogDir", text(DefaultLogDir(context.program_folder)));
  write("ErrorMailAddress", text(kDefaultErrorMailAddress));
  write("ErrorMailName", text("Unknown"));
  write("LogDays", text("30"));
  write("InternalPort", text("25"));
  write("MailFromAddress", text(kDefaultMailFromAddress));
  write("AccessUserName", text(kDefaultAccessUserName));
  write("AccessPassword", [] { return ScramblePassword(kDefaultAccessPassword); });
  write("MessageExpiry", text("60"));
  write("MaxLength", text("160"));
  write("AllowedIP", text("127.0.0.1"));
  write("ForwardOK", text("1"));
  write("StripCRLF", text("1"));
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
