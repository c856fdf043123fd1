// The configuration record: one text field per value of SOFTWARE\Mailvane, empty when missing.
// Numbers and flags stay text ("1" means on) and are converted where they are used. LogDir is
// held with a trailing separator when not empty; AccessPassword is held plain.
#ifndef MAILVANE_COMMON_CONFIG_H_
#define MAILVANE_COMMON_CONFIG_H_

#include <iterator>
#include <string>

#include "common/error.h"
#include "common/settings_table.h"

namespace mailvane {

class AllowList;
class Clock;
class FileSystem;
class Registry;
class RegistryReader;

inline constexpr char kSettingsKey[] = "SOFTWARE\\Mailvane";

struct ConfigRecord {
  std::string MailServer;
  std::string LogDir;
  std::string ErrorMailAddress;
  std::string InternalPort;
  std::string ErrorMailName;
  std::string MailFromAddress;
  std::string AccessUserName;
  std::string AccessPassword;
  std::string MessageExpiry;
  std::string MaxLength;
  std::string AllowedIP;
  std::string ForwardOK;
  std::string StripCRLF;
  std::string LogDays;
  // Beside the fourteen, read by both programs when present and never written: the outbound TLS
  // level ("may" when absent, see ApplyMailTls) and the CA file that "verify" trusts.
  std::string MailTLS;
  std::string MailTLSCAFile;
};

// The server's main window as the shared library sees it: its caption, its status label and its
// activity list. The server's window implements it; tests use a fake.
class MainWindow {
 public:
  virtual ~MainWindow() = default;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual void SetLabel1(const std::string& text) = 0;
  // Adds a time-stamped line to the activity list and writes the text to the daily log.
  virtual void AddToList(const std::string& text) = 0;
};

// The server's process-wide state that the configuration load touches, owned by the service
// window and handed here by reference.
struct ServerSettingsContext {
  Registry& registry;
  FileSystem& files;
  MainWindow& window;
  AllowList& allow_list;
  ConfigRecord& config;
  int& sweep_counter;          // log retention (PurgeOldLogs)
  long long& spool_counter;    // spool file names
  std::string program_folder;  // the server program's folder, without a trailing "/"
};

// Fills every field in the server's order (MailTLS and MailTLSCAFile last) with its side effects:
// the allow-list, the current folder, the spool folder, the caption, the two counters. An error (a
// stored AccessPassword that is not valid scrambled text) ends the load at that step and propagates
// as MailvaneError.
void LoadSettings(ServerSettingsContext& context);

// Creates the key, writes the fourteen defaults, shows the first-run notice in Label1 and loads
// the default allow-list. Ignores every error.
void WriteDefaultSettings(ServerSettingsContext& context);

// LoadSettings; when MailServer is then empty, WriteDefaultSettings and LoadSettings again.
void RunSettingsStartup(ServerSettingsContext& context);

// The handler's load: its twelve fields in its order (and MailTLS, MailTLSCAFile), then the
// current folder. Never applies
// defaults. An error ends the load at that step (fields loaded so far stay) and propagates.
void LoadHandlerSettings(RegistryReader& registry, FileSystem& files,
                         const std::string& program_folder, ConfigRecord* config);

// A stored setting that a load cannot take: the error names the setting and what is wrong with
// it, never its value (it may be a password). The number is the failure's own (13 for a password
// that is not scrambled text); description() reads "<setting>: <problem> (<standard text>)".
class SettingError : public MailvaneError {
 public:
  SettingError(int number, const std::string& setting, const std::string& problem);
  const std::string& setting() const { return setting_; }

 private:
  std::string setting_;
};

// The per-value rule: the value as stored, without its terminating zero character (a string
// stored without one keeps every character); a number (type 4) as its decimal text; empty when
// nothing was read.
std::string ReadConfigValue(RegistryReader& registry, const std::string& name);

// The LogDir step of both loads: "/" appended to a non-empty folder that ends in neither "\" nor
// "/".
std::string WithFolderSeparator(std::string log_dir);

// Makes the program's folder the current folder, so that a relative LogDir is taken from it.
// Raises MailvaneError 76 (path not found) when it is missing, else the number of the failure.
void SetProgramFolderCurrent(FileSystem& files, const std::string& program_folder);

// The defaults of the first run that are placeholders: they reach no real host or mailbox.
inline constexpr char kDefaultMailServer[] = "smtp2.provider.example;smtp1.provider.example";
inline constexpr char kDefaultErrorMailAddress[] = "postmaster@mailvane.invalid";
inline constexpr char kDefaultMailFromAddress[] = "mailvane@mailvane.invalid";
inline constexpr char kDefaultAccessUserName[] = "pinewarden";
inline constexpr char kDefaultAccessPassword[] = "pinewarden";

// The longest MessageExpiry the programs take, in minutes (a year). The settings dialog refuses
// more, a negative or a non-numeric value; a handler that meets one anyway keeps every mail.
inline constexpr long kMaxMessageExpiry = 525600;

// The sentences that refuse a value of the key.
inline constexpr char kPortNotNumeric[] = "The listening port must be numeric...";
inline constexpr char kExpiryNotNumeric[] = "The message expiry must be numeric...";
// A numeric expiry that is not a whole number of minutes from 0 to kMaxMessageExpiry.
inline constexpr char kExpiryOutOfRange[] =
    "The message expiry must be a whole number of minutes from 0 to 525600...";
static_assert(kMaxMessageExpiry == 525600, "kExpiryOutOfRange names the bound");
inline constexpr char kMaxLengthNotNumeric[] = "The message maximum length must be numeric...";
inline constexpr char kInformationMissing[] =
    "Information is missing or blank, please check your input...";
inline constexpr char kPasswordNotStorable[] =
    "The access password contains characters that cannot be stored...";
inline constexpr char kAllowedIPInvalid[] =
    "The IP address or IP address and associated mask is invalid...";
inline constexpr char kFlagNotOneOrZero[] = "The setting must be 1 (on) or 0 (off)...";

// Every value of SOFTWARE\Mailvane, in the order a first run and the settings dialog write them.
// LogDir's default is the program's folder, filled in when the defaults are written. MailTLS and
// MailTLSCAFile are read by both programs when present and never written.
using MainSetting = SettingRow<ConfigRecord>;
// clang-format off
inline constexpr MainSetting kMainSettings[] = {
    {.name = "MailServer", .field = &ConfigRecord::MailServer,
     .default_value = kDefaultMailServer, .missing = kInformationMissing,
     .in_dialog = true, .server_step = 1, .handler_step = 1},
    {.name = "LogDir", .field = &ConfigRecord::LogDir, .kind = SettingKind::kFolder,
     .default_value = "",
     .server_step = 2, .handler_step = 2},
    {.name = "ErrorMailAddress", .field = &ConfigRecord::ErrorMailAddress,
     .default_value = kDefaultErrorMailAddress, .missing = kInformationMissing,
     .in_dialog = true, .server_step = 3, .handler_step = 3},
    {.name = "ErrorMailName", .field = &ConfigRecord::ErrorMailName,
     .default_value = "Unknown", .missing = kInformationMissing,
     .in_dialog = true, .server_step = 5, .handler_step = 5},
    {.name = "LogDays", .field = &ConfigRecord::LogDays,
     .default_value = "30",
     .server_step = 14, .handler_step = kNotLoaded},
    {.name = "InternalPort", .field = &ConfigRecord::InternalPort, .kind = SettingKind::kNumber,
     .default_value = "25", .refusal = kPortNotNumeric,
     .in_dialog = true, .server_step = 4, .handler_step = 4},
    {.name = "MailFromAddress", .field = &ConfigRecord::MailFromAddress,
     .default_value = kDefaultMailFromAddress,
     .in_dialog = true, .server_step = 6, .handler_step = 6},
    {.name = "AccessUserName", .field = &ConfigRecord::AccessUserName,
     .default_value = kDefaultAccessUserName, .missing = kInformationMissing,
     .in_dialog = true, .server_step = 7, .handler_step = 7},
    {.name = "AccessPassword", .field = &ConfigRecord::AccessPassword,
     .kind = SettingKind::kPassword, .default_value = kDefaultAccessPassword,
     .refusal = kPasswordNotStorable, .missing = kInformationMissing,
     .in_dialog = true, .server_step = 8, .handler_step = 9},
    {.name = "MessageExpiry", .field = &ConfigRecord::MessageExpiry,
     .kind = SettingKind::kWholeNumber, .default_value = "60", .refusal = kExpiryNotNumeric,
     .low = 0, .high = kMaxMessageExpiry, .out_of_range = kExpiryOutOfRange,
     .in_dialog = true, .server_step = 9, .handler_step = 8},
    {.name = "MaxLength", .field = &ConfigRecord::MaxLength, .kind = SettingKind::kNumber,
     .default_value = "160", .refusal = kMaxLengthNotNumeric,
     .in_dialog = true, .server_step = 10, .handler_step = 10},
    {.name = "AllowedIP", .field = &ConfigRecord::AllowedIP, .kind = SettingKind::kAddressList,
     .default_value = "127.0.0.1", .refusal = kAllowedIPInvalid, .missing = kInformationMissing,
     .in_dialog = true, .server_step = 11, .handler_step = kNotLoaded},
    {.name = "ForwardOK", .field = &ConfigRecord::ForwardOK, .kind = SettingKind::kFlag,
     .default_value = "1", .refusal = kFlagNotOneOrZero,
     .in_dialog = true, .server_step = 12, .handler_step = 11},
    {.name = "StripCRLF", .field = &ConfigRecord::StripCRLF, .kind = SettingKind::kFlag,
     .default_value = "1", .refusal = kFlagNotOneOrZero,
     .in_dialog = true, .server_step = 13, .handler_step = 12},
    {.name = "MailTLS", .field = &ConfigRecord::MailTLS,
     .server_step = 15, .handler_step = 13},
    {.name = "MailTLSCAFile", .field = &ConfigRecord::MailTLSCAFile,
     .server_step = 16, .handler_step = 14},
};
// clang-format on
inline constexpr SettingsKey<ConfigRecord> kMainKey{kSettingsKey, kMainSettings};

// The first-run notice that WriteDefaultSettings puts into Label1.
inline constexpr char kFirstRunNotice[] =
    "The application has been initialised to default values...please check the settings...";

}  // namespace mailvane

#endif  // MAILVANE_COMMON_CONFIG_H_
