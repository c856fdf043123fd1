#include "server/settings_frm.h"

#include "common/allow_list.h"
#include "common/config.h"
#include "common/convert.h"
#include "common/reg_functions.h"
#include "common/scramble.h"

namespace mailvane {
namespace {

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
  values_.Text1 = config_.InternalPort;
  values_.Text2 = config_.MailServer;
  values_.Text3 = config_.AccessUserName;
  values_.Text4 = config_.AccessPassword;
  values_.Text5 = config_.MailFromAddress;
  values_.Text6 = config_.ErrorMailAddress;
  values_.Text7 = config_.ErrorMailName;
  values_.Text8 = config_.AccessPassword;
  values_.Text9 = config_.MessageExpiry;
  values_.Text10 = config_.MaxLength;
  values_.Text11 = config_.AllowedIP;
  values_.Check1 = config_.ForwardOK == "0" ? 0 : 1;
  values_.Check2 = config_.StripCRLF == "0" ? 0 : 1;
  open_ = true;
}

SaveResult MailvaneSettingsFrm::Command2_Click(const SettingsValues& typed) {
  values_ = typed;  // a refusal leaves the dialog showing what was typed
  const SettingsValues& v = values_;
  const std::string forward_ok = v.Check1 != 0 ? "1" : "0";
  const std::string strip_crlf = v.Check2 != 0 ? "1" : "0";

  if (v.Text8 != v.Text4) return Refusal(kPasswordsDoNotMatch);
  if (!IsNumeric(v.Text1)) return Refusal(kPortNotNumeric);
  if (!IsNumeric(v.Text9)) return Refusal(kExpiryNotNumeric);
  if (!IsNumeric(v.Text10)) return Refusal(kMaxLengthNotNumeric);
  if (v.Text2.empty() || v.Text3.empty() || v.Text4.empty() || v.Text11.empty() ||
      v.Text6.empty() || v.Text7.empty()) {
    return Refusal(kInformationMissing);
  }
  // Refused here, before anything is written, rather than failing half way through the save.
  if (!CanScramblePassword(v.Text4)) return Refusal(kPasswordNotStorable);
  // The new list is checked on a copy, so a refused save leaves the list in effect as it was.
  AllowList candidate = allow_list_;
  if (candidate.LoadAllowedIPs(v.Text11) == 0) return Refusal(kAllowedIPInvalid);

  // From here on the save goes ahead.
  allow_list_ = std::move(candidate);
  main_window_.SetLabel1("");

  auto write = [this](const char* name, const std::string& text) {
    WriteSetting(registry_, HKEY_LOCAL_MACHINE, kSettingsKey, name, RegValue(text), REG_SZ);
  };
  write("MailServer", v.Text2);
  write("ErrorMailAddress", v.Text6);
  write("ErrorMailName", v.Text7);
  write("InternalPort", v.Text1);
  write("MailFromAddress", v.Text5);
  write("AccessUserName", v.Text3);
  write("AccessPassword", ScramblePassword(v.Text4));
  write("MessageExpiry", v.Text9);
  write("MaxLength", v.Text10);
  write("AllowedIP", v.Text11);
  write("ForwardOK", forward_ok);
  write("StripCRLF", strip_crlf);

  SaveResult result{MessageBoxData{kRestartRequired, kRestartTitle, MessageBoxIcon::kCritical},
                    true};

  config_.InternalPort = v.Text1;
  config_.MailServer = v.Text2;
  config_.AccessUserName = v.Text3;
  config_.AccessPassword = v.Text4;
  config_.AccessPassword = v.Text8;
  config_.MailFromAddress = v.Text5;
  config_.ErrorMailAddress = v.Text6;
  config_.ErrorMailName = v.Text7;
  config_.MessageExpiry = v.Text9;
  config_.MaxLength = v.Text10;
  config_.AllowedIP = v.Text11;
  config_.ForwardOK = forward_ok;
  config_.StripCRLF = strip_crlf;

  open_ = false;
  return result;
}

void MailvaneSettingsFrm::Command1_Click() { open_ = false; }

}  // namespace mailvane
