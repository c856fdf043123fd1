// MailvaneSettingsFrm: the administrator's dialog for the shared settings, kept as a model that
// the web console draws. It shows the in-memory configuration record, checks what was typed,
// writes every setting as a string value under SOFTWARE\Mailvane, updates the record and closes.
// A refused save writes nothing, changes neither the record nor the allow-list in effect, and
// leaves the dialog open with the values as typed. The server keeps one instance; showing it
// while it is open shows that instance as it stands. Loop thread only.
#ifndef MAILVANE_SERVER_SETTINGS_FRM_H_
#define MAILVANE_SERVER_SETTINGS_FRM_H_

#include <iterator>
#include <string>
#include <string_view>

#include "common/config.h"

namespace mailvane {

class AllowList;

inline constexpr char kSettingsCaption[] = "Mailvane Settings";

inline constexpr char kInvalidSettingTitle[] = "Invalid Setting Data";
inline constexpr char kPasswordsDoNotMatch[] = "The passwords do not match...";
inline constexpr char kRestartTitle[] = "Service Restart Required";
inline constexpr char kRestartRequired[] =
    "You must restart the service before the new settings will take effect...";

// The values of the dialog's controls, named for the setting each edits (the control's own name
// after it). A check box holds 0 when cleared and 1 when ticked; any other value counts as ticked.
struct SettingsValues {
  std::string listening_port;      // Text1: InternalPort
  std::string mail_server;         // Text2: MailServer
  std::string access_user_name;    // Text3: AccessUserName
  std::string access_password;     // Text4: AccessPassword, plain
  std::string mail_from_address;   // Text5: MailFromAddress
  std::string error_mail_address;  // Text6: ErrorMailAddress
  std::string error_mail_name;     // Text7: ErrorMailName
  std::string confirm_password;    // Text8: must equal access_password
  std::string message_expiry;      // Text9: MessageExpiry
  std::string max_length;          // Text10: MaxLength
  std::string allowed_ips;         // Text11: AllowedIP
  int allow_forwarding = 1;        // Check1: ForwardOK
  int strip_crlf = 1;              // Check2: StripCRLF

  bool operator==(const SettingsValues&) const = default;
};

// The dialog's controls: the console's name for each, the value of SOFTWARE\Mailvane it edits
// and the member that holds it (a text box or a check box). A confirming box repeats the value of
// the box of the same setting and is never saved itself.
struct DialogControl {
  const char* page_name;
  const char* setting;
  std::string SettingsValues::*text = nullptr;
  int SettingsValues::*check = nullptr;
  bool confirms = false;
};
inline constexpr DialogControl kDialogControls[] = {
    {"listeningPort", "InternalPort", &SettingsValues::listening_port},
    {"messageExpiry", "MessageExpiry", &SettingsValues::message_expiry},
    {"maxLength", "MaxLength", &SettingsValues::max_length},
    {"allowedIps", "AllowedIP", &SettingsValues::allowed_ips},
    {"mailServer", "MailServer", &SettingsValues::mail_server},
    {"accessUserName", "AccessUserName", &SettingsValues::access_user_name},
    {"accessPassword", "AccessPassword", &SettingsValues::access_password},
    {"confirmPassword", "AccessPassword", &SettingsValues::confirm_password, nullptr, true},
    {"mailFromAddress", "MailFromAddress", &SettingsValues::mail_from_address},
    {"errorMailAddress", "ErrorMailAddress", &SettingsValues::error_mail_address},
    {"errorMailName", "ErrorMailName", &SettingsValues::error_mail_name},
    {"allowForwarding", "ForwardOK", nullptr, &SettingsValues::allow_forwarding},
    {"stripCrLf", "StripCRLF", nullptr, &SettingsValues::strip_crlf},
};

// The index in kMainSettings of the value a control edits; -1 for a name the key does not hold.
constexpr int SettingIndexOf(const DialogControl& control) {
  for (int i = 0; i < static_cast<int>(std::size(kMainSettings)); ++i) {
    if (std::string_view(kMainSettings[i].name) == control.setting) return i;
  }
  return -1;
}
inline const MainSetting& SettingOf(const DialogControl& control) {
  return kMainSettings[SettingIndexOf(control)];
}

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
  // "&Save" from the console's page, which is never sent the stored password: both password
  // fields left empty keep the stored one; whatever is typed in either is checked as typed.
  SaveResult SaveFromPage(SettingsValues typed);
  // Whether a password is stored: the page shows that one is, never the password.
  bool password_set() const;

  bool is_open() const { return open_; }
  const SettingsValues& values() const { return values_; }

 private:
  // The record with the dialog's values in place of its own.
  ConfigRecord TypedRecord(const SettingsValues& typed) const;

  ConfigRecord& config_;
  AllowList& allow_list_;
  Registry& registry_;
  MainWindow& main_window_;
  SettingsValues values_;
  bool open_ = false;
};

}  // namespace mailvane

#endif  // MAILVANE_SERVER_SETTINGS_FRM_H_
