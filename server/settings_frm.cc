#include "server/settings_frm.h"

#include <optional>

#include "common/allow_list.h"
#include "common/config.h"
#include "common/convert.h"
#include "common/reg_functions.h"
#include "common/scramble.h"

namespace mailvane {
namespace {

static_assert(kMaxMessageExpiry == 525600, "kExpiryOutOfRange names the bound");

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
  values_.listening_port = config_.InternalPort;
  values_.mail_server = config_.MailServer;
  values_.access_user_name = config_.AccessUserName;
  values_.access_password = config_.AccessPassword;
  values_.mail_from_address = config_.MailFromAddress;
  values_.error_mail_address = config_.ErrorMailAddress;
  values_.error_mail_name = config_.ErrorMailName;
  values_.confirm_password = config_.AccessPassword;
  values_.message_expiry = config_.MessageExpiry;
  values_.max_length = config_.MaxLength;
  values_.allowed_ips = config_.AllowedIP;
  values_.allow_forwarding = config_.ForwardOK == "0" ? 0 : 1;
  values_.strip_crlf = config_.StripCRLF == "0" ? 0 : 1;
  open_ = true;
}

SaveResult MailvaneSettingsFrm::Command2_Click(const SettingsValues& typed) {
  values_ = typed;  // a refusal leaves the dialog showing what was typed
  const SettingsValues& v = values_;
  const std::string forward_ok = v.allow_forwarding != 0 ? "1" : "0";
  const std::string strip_crlf = v.strip_crlf != 0 ? "1" : "0";

  if (v.confirm_password != v.access_password) return Refusal(kPasswordsDoNotMatch);
  if (!IsNumeric(v.listening_port)) return Refusal(kPortNotNumeric);
  if (!IsNumeric(v.message_expiry)) return Refusal(kExpiryNotNumeric);
  // The handler reads the expiry as a whole number of minutes; a negative one would expire every
  // mail unsent.
  std::optional<int32_t> expiry = ToWholeNumber(v.message_expiry);
  if (!expiry || *expiry < 0 || *expiry > kMaxMessageExpiry) return Refusal(kExpiryOutOfRange);
  if (!IsNumeric(v.max_length)) return Refusal(kMaxLengthNotNumeric);
  if (v.mail_server.empty() || v.access_user_name.empty() || v.access_password.empty() ||
      v.allowed_ips.empty() || v.error_mail_address.empty() || v.error_mail_name.empty()) {
    return Refusal(kInformationMissing);
  }
  // Refused here, before anything is written, rather than failing half way through the save.
  if (!CanScramblePassword(v.access_password)) return Refusal(kPasswordNotStorable);
  // The new list is checked on a copy, so a refused save leaves the list in effect as it was.
  AllowList candidate = allow_list_;
  if (candidate.LoadAllowedIPs(v.allowed_ips) == 0) return Refusal(kAllowedIPInvalid);

  // From here on the save goes ahead.
  allow_list_ = std::move(candidate);
  main_window_.SetLabel1("");

  auto write = [this](const char* name, const std::string& text) {
    WriteSetting(registry_, HKEY_LOCAL_MACHINE, kSettingsKey, name, RegValue(text), REG_SZ);
  };
  write("MailServer", v.mail_server);
  write("ErrorMailAddress", v.error_mail_address);
  write("ErrorMailName", v.error_mail_name);
  write("InternalPort", v.listening_port);
  write("MailFromAddress", v.mail_from_address);
  write("AccessUserName", v.access_user_name);
  write("AccessPassword", ScramblePassword(v.access_password));
  write("MessageExpiry", v.message_expiry);
  write("MaxLength", v.max_length);
  write("AllowedIP", v.allowed_ips);
  write("ForwardOK", forward_ok);
  write("StripCRLF", strip_crlf);

  SaveResult result{MessageBoxData{kRestartRequired, kRestartTitle, MessageBoxIcon::kCritical},
                    true};

  config_.InternalPort = v.listening_port;
  config_.MailServer = v.mail_server;
  config_.AccessUserName = v.access_user_name;
  config_.AccessPassword = v.access_password;
  config_.AccessPassword = v.confirm_password;
  config_.MailFromAddress = v.mail_from_address;
  config_.ErrorMailAddress = v.error_mail_address;
  config_.ErrorMailName = v.error_mail_name;
  config_.MessageExpiry = v.message_expiry;
  config_.MaxLength = v.max_length;
  config_.AllowedIP = v.allowed_ips;
  config_.ForwardOK = forward_ok;
  config_.StripCRLF = strip_crlf;

  open_ = false;
  return result;
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
