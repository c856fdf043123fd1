// The configuration record: one text field per value of SOFTWARE\Mailvane, empty when missing.
// Numbers and flags stay text ("1" means on) and are converted where they are used. LogDir is
// held with a trailing separator when not empty; AccessPassword is held plain.
#ifndef MAILVANE_COMMON_CONFIG_H_
#define MAILVANE_COMMON_CONFIG_H_

#include <string>

#include "common/error.h"

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

// The AccessPassword step of both loads: the plain form of a stored password, empty for empty.
// Raises SettingError when the stored text is not a scrambled password.
std::string UnscrambledAccessPassword(const std::string& stored);

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

// The first-run notice that WriteDefaultSettings puts into Label1.
inline constexpr char kFirstRunNotice[] =
    "The application has been initialised to default values...please check the settings...";

}  // namespace mailvane

#endif  // MAILVANE_COMMON_CONFIG_H_
