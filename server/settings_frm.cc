#include "server/settings_frm.h"

#include "common/allow_list.h"
#include "common/config.h"
#include "common/reg_functions.h"

namespace mailvane {
namespace {

// Every control edits a value the dialog saves, and every such value has its control.
constexpr bool ControlsMatchTheDialogsRows() {
  for (const DialogControl& control : kDialogControls) {
    const int index = SettingIndexOf(control);
    if (index < 0 || !kMainSettings[index].in_dialog ||
        (control.text == nullptr) == (control.check == nullptr)) {
      return false;
    }
  }
  for (int i = 0; i < static_cast<int>(std::size(kMainSettings)); ++i) {
    bool edited = false;
    for (const DialogControl& control : kDialogControls) {
      edited = edited || (!control.confirms && SettingIndexOf(control) == i);
    }
    if (edited != kMainSettings[i].in_dialog) return false;
  }
  return true;
}
static_assert(ControlsMatchTheDialogsRows());

bool InDialog(const MainSetting& row) { return row.in_dialog; }

SaveResult Refusal(const char* text) {
  return SaveResult{MessageBoxData{text, kInvalidSettingTitle, MessageBoxIcon::kInformation},
                    false};
}

}  // namespace

MailvaneSettingsFrm::MailvaneSettingsFrm(ConfigRecord& config, AllowList& allow_list,
                                         Registry& registry, MainWindow& main_window)
    : config_(config), allow_list_(allow_list), registry_(registry), main_window_(main_window) {}

const SettingsValues& MailvaneSettingsFrm::Show() {
  if (!open_) Form_Load();
  return values_;
}

void MailvaneSettingsFrm::Form_Load() {
  for (const DialogControl& control : kDialogControls) {
    const std::string& held = config_.*(SettingOf(control).field);
    if (control.text != nullptr) {
      values_.*control.text = held;
    } else {
      values_.*control.check = held == "0" ? 0 : 1;
    }
  }
  open_ = true;
}

ConfigRecord MailvaneSettingsFrm::TypedRecord(const SettingsValues& typed) const {
  ConfigRecord record = config_;
  for (const DialogControl& control : kDialogControls) {
    if (control.confirms) continue;
    record.*(SettingOf(control).field) = control.text != nullptr     ? typed.*control.text
                                         : typed.*control.check != 0 ? "1"
                                                                     : "0";
  }
  return record;
}

SaveResult MailvaneSettingsFrm::Command2_Click(const SettingsValues& typed) {
  values_ = typed;  // a refusal leaves the dialog showing what was typed
  ConfigRecord candidate = TypedRecord(values_);
  for (const DialogControl& control : kDialogControls) {
    if (control.confirms && values_.*control.text != candidate.*(SettingOf(control).field)) {
      return Refusal(kPasswordsDoNotMatch);
    }
  }
  // Each value is checked as strictly as the code that uses it reads it; the password and the
  // list are refused here, before anything is written, rather than half way through the save.
  if (const char* refusal = ValidateSettings(kMainKey, candidate, InDialog)) {
    return Refusal(refusal);
  }
  // The new list is put into effect from a copy, so the list in effect changes only on a save.
  AllowList list = allow_list_;
  (void)list.LoadAllowedIPs(candidate.AllowedIP);

  // From here on the save goes ahead.
  allow_list_ = std::move(list);
  main_window_.SetLabel1("");
  // A value the store did not take keeps its stored value until the next save; the dialog still
  // asks for the restart that puts the others into effect.
  (void)WriteSettings(registry_, kMainKey, candidate, InDialog);
  config_ = std::move(candidate);
  open_ = false;
  return SaveResult{MessageBoxData{kRestartRequired, kRestartTitle, MessageBoxIcon::kCritical},
                    true};
}

void MailvaneSettingsFrm::Command1_Click() { open_ = false; }

SaveResult MailvaneSettingsFrm::SaveFromPage(SettingsValues typed) {
  if (typed.access_password.empty() && typed.confirm_password.empty()) {
    typed.access_password = config_.AccessPassword;
    typed.confirm_password = config_.AccessPassword;
  }
  return Command2_Click(typed);
}

bool MailvaneSettingsFrm::password_set() const { return !config_.AccessPassword.empty(); }

}  // namespace mailvane
