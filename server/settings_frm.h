// MailvaneSettingsFrm: the administrator's dialog for the shared settings, kept as a model that
// the web console draws. It shows the in-memory configuration record, checks what was typed,
// writes every setting as a string value under SOFTWARE\Mailvane, updates the record and closes.
// A refused save writes nothing, changes neither the record nor the allow-list in effect, and
// leaves the dialog open with the values as typed. The server keeps one instance; showing it
// while it is open shows that instance as it stands. Loop thread only.
#ifndef MAILVANE_SERVER_SETTINGS_FRM_H_
#define MAILVANE_SERVER_SETTINGS_FRM_H_

#include <string>

namespace mailvane {

class AllowList;
class MainWindow;
class Registry;
struct ConfigRecord;

inline constexpr char kSettingsCaption[] = "Mailvane Settings";

inline constexpr char kInvalidSettingTitle[] = "Invalid Setting Data";
inline constexpr char kPasswordsDoNotMatch[] = "The passwords do not match...";
inline constexpr char kPortNotNumeric[] = "The listening port must be numeric...";
inline constexpr char kExpiryNotNumeric[] = "The message expiry must be numeric...";
inline constexpr char kMaxLengthNotNumeric[] = "The message maximum length must be numeric...";
inline constexpr char kInformationMissing[] =
    "Information is missing or blank, please check your input...";
inline constexpr char kPasswordNotStorable[] =
    "The access password contains characters that cannot be stored...";
inline constexpr char kAllowedIPInvalid[] =
    "The IP address or IP address and associated mask is invalid...";

inline constexpr char kRestartTitle[] = "Service Restart Required";
inline constexpr char kRestartRequired[] =
    "You must restart the service before the new settings will take effect...";

// The values of the dialog's controls. A check box holds 0 when cleared and 1 when ticked; any
// other value counts as ticked.
struct SettingsValues {
  std::string Text1;   // InternalPort
  std::string Text2;   // MailServer
  std::string Text3;   // AccessUserName
  std::string Text4;   // AccessPassword, plain
  std::string Text5;   // MailFromAddress
  std::string Text6;   // ErrorMailAddress
  std::string Text7;   // ErrorMailName
  std::string Text8;   // confirmation of Text4
  std::string Text9;   // MessageExpiry
  std::string Text10;  // MaxLength
  std::string Text11;  // AllowedIP
  int Check1 = 1;      // ForwardOK
  int Check2 = 1;      // StripCRLF

  bool operator==(const SettingsValues&) const = default;
};

enum class MessageBoxIcon { kInformation, kCritical };

// A message box with an OK button.
struct MessageBoxData {
  std::string text;
  std::string title;
  MessageBoxIcon icon = MessageBoxIcon::kInformation;
};

struct SaveResult {
  MessageBoxData message;
  bool saved = false;  // true: written, record updated and the dialog unloaded
};

class MailvaneSettingsFrm {
 public:
  MailvaneSettingsFrm(ConfigRecord& config, AllowList& allow_list, Registry& registry,
                      MainWindow& main_window);
  MailvaneSettingsFrm(const MailvaneSettingsFrm&) = delete;
  MailvaneSettingsFrm& operator=(const MailvaneSettingsFrm&) = delete;

  // The Settings button: loads the dialog (Form_Load) when it is not open; either way returns
  // the values its controls now hold.
  const SettingsValues& Show();
  // Fills the controls from the configuration record and marks the dialog open.
  void Form_Load();
  // "&Save", with the values the controls hold when it is clicked. The checks run in order and
  // the first failure is the answer; on success the dialog is unloaded.
  SaveResult Command2_Click(const SettingsValues& typed);
  // "&Close", or closing the window: unloads the dialog; nothing is saved.
  void Command1_Click();

  bool is_open() const { return open_; }
  const SettingsValues& values() const { return values_; }

 private:
  ConfigRecord& config_;
  AllowList& allow_list_;
  Registry& registry_;
  MainWindow& main_window_;
  SettingsValues values_;
  bool open_ = false;
};

}  // namespace mailvane

#endif  // MAILVANE_SERVER_SETTINGS_FRM_H_
