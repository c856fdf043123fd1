#include "server/settings_frm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/allow_list.h"
#include "common/config.h"
#include "common/scramble.h"
#include "platform/registry/testing/fake_registry.h"

namespace mailvane {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Remembers the names of the values written, in order.
class RecordingRegistry : public FakeRegistry {
 public:
  long RegSetValueEx(HKEY key, const std::string& value_name, uint32_t reserved, uint32_t type,
                     const uint8_t* data, uint32_t size) override {
    long code = FakeRegistry::RegSetValueEx(key, value_name, reserved, type, data, size);
    if (code == ERROR_SUCCESS) written.push_back(value_name);
    return code;
  }
  std::vector<std::string> written;
};

class FakeMainWindow : public MainWindow {
 public:
  void SetCaption(const std::string& caption) override { this->caption = caption; }
  void SetLabel1(const std::string& text) override {
    label1 = text;
    ++label1_sets;
  }
  void AddToList(const std::string& text) override { lines.push_back(text); }

  std::string caption;
  std::string label1 = kFirstRunNotice;
  int label1_sets = 0;
  std::vector<std::string> lines;
};

ConfigRecord StoredRecord() {
  ConfigRecord record;
  record.MailServer = "smtp.example.com";
  record.LogDir = "/var/log/mailvane/";
  record.ErrorMailAddress = "admin@example.com";
  record.InternalPort = "25";
  record.ErrorMailName = "Admin";
  record.MailFromAddress = "gateway@example.com";
  record.AccessUserName = "account";
  record.AccessPassword = "Secret1";
  record.MessageExpiry = "60";
  record.MaxLength = "160";
  record.AllowedIP = "127.0.0.1";
  record.ForwardOK = "1";
  record.StripCRLF = "1";
  record.LogDays = "7";
  return record;
}

// What a valid save types.
SettingsValues ValidValues() {
  SettingsValues v;
  v.listening_port = "2525";
  v.mail_server = "mail1.example.com;mail2.example.com";
  v.access_user_name = "new-account";
  v.access_password = "N3w Pass";
  v.mail_from_address = "sender@example.com";
  v.error_mail_address = "errors@example.com";
  v.error_mail_name = "Error Desk";
  v.confirm_password = "N3w Pass";
  v.message_expiry = "120";
  v.max_length = "320";
  v.allowed_ips = "10.0.0.0/255.0.0.0, 127.0.0.1";
  v.allow_forwarding = 0;
  v.strip_crlf = 1;
  return v;
}

class SettingsFrmTest : public ::testing::Test {
 protected:
  SettingsFrmTest() {
    registry_.CreateKey(kSettingsKey);
    allow_list_.LoadAllowedIPs(config_.AllowedIP);
    frm_.Show();
  }

  std::string Stored(const std::string& name) const {
    std::optional<StoredValue> value = registry_.GetRawValue(kSettingsKey, name);
    if (!value) return "<missing>";
    std::string data = value->data;
    if (!data.empty() && data.back() == '\0') data.pop_back();
    return data;
  }

  ConfigRecord config_ = StoredRecord();
  AllowList allow_list_;
  RecordingRegistry registry_;
  FakeMainWindow window_;
  MailvaneSettingsFrm frm_{config_, allow_list_, registry_, window_};
};

TEST_F(SettingsFrmTest, LoadShowsTheRecordWithThePasswordPlainInBothFields) {
  const SettingsValues& v = frm_.values();
  EXPECT_TRUE(frm_.is_open());
  EXPECT_EQ(v.listening_port, "25");
  EXPECT_EQ(v.mail_server, "smtp.example.com");
  EXPECT_EQ(v.access_user_name, "account");
  EXPECT_EQ(v.access_password, "Secret1");
  EXPECT_EQ(v.mail_from_address, "gateway@example.com");
  EXPECT_EQ(v.error_mail_address, "admin@example.com");
  EXPECT_EQ(v.error_mail_name, "Admin");
  EXPECT_EQ(v.confirm_password, "Secret1");
  EXPECT_EQ(v.message_expiry, "60");
  EXPECT_EQ(v.max_length, "160");
  EXPECT_EQ(v.allowed_ips, "127.0.0.1");
  EXPECT_EQ(v.allow_forwarding, 1);
  EXPECT_EQ(v.strip_crlf, 1);
}

TEST_F(SettingsFrmTest, CheckBoxIsClearedOnlyForTheTextZero) {
  struct Case {
    std::string stored;
    int shown;
  } cases[] = {{"0", 0}, {"1", 1}, {"", 1}, {"00", 1}, {" 0", 1}, {"no", 1}, {"2", 1}};
  for (const Case& c : cases) {
    config_.ForwardOK = c.stored;
    config_.StripCRLF = c.stored;
    frm_.Form_Load();
    EXPECT_EQ(frm_.values().allow_forwarding, c.shown) << "\"" << c.stored << "\"";
    EXPECT_EQ(frm_.values().strip_crlf, c.shown) << "\"" << c.stored << "\"";
  }
}

TEST_F(SettingsFrmTest, ShowingTheOpenDialogShowsItAsItStands) {
  SettingsValues typed = ValidValues();
  typed.confirm_password = "different";
  frm_.Command2_Click(typed);  // refused: stays open with what was typed
  config_.MailServer = "changed.example.com";
  EXPECT_EQ(frm_.Show(), typed);
  frm_.Command1_Click();
  EXPECT_FALSE(frm_.is_open());
  EXPECT_EQ(frm_.Show().mail_server, "changed.example.com");  // loaded afresh
}

TEST_F(SettingsFrmTest, EachRefusalHasItsTextAndWritesNothing) {
  struct Case {
    const char* name;
    void (*edit)(SettingsValues&);
    const char* text;
  } cases[] = {
      {"passwords differ", [](SettingsValues& v) { v.confirm_password = "other"; },
       kPasswordsDoNotMatch},
      {"passwords differ in case", [](SettingsValues& v) { v.confirm_password = "n3w pass"; },
       kPasswordsDoNotMatch},
      {"port not numeric", [](SettingsValues& v) { v.listening_port = "25a"; }, kPortNotNumeric},
      {"port empty", [](SettingsValues& v) { v.listening_port = ""; }, kPortNotNumeric},
      {"expiry not numeric", [](SettingsValues& v) { v.message_expiry = "soon"; },
       kExpiryNotNumeric},
      {"expiry negative", [](SettingsValues& v) { v.message_expiry = "-1"; }, kExpiryOutOfRange},
      {"expiry too large", [](SettingsValues& v) { v.message_expiry = "525601"; },
       kExpiryOutOfRange},
      {"expiry with a unit", [](SettingsValues& v) { v.message_expiry = "60 min"; },
       kExpiryNotNumeric},
      {"expiry not whole", [](SettingsValues& v) { v.message_expiry = "60.5"; }, kExpiryOutOfRange},
      {"expiry beyond 32 bits", [](SettingsValues& v) { v.message_expiry = "1e10"; },
       kExpiryOutOfRange},
      {"expiry bad and max length empty",
       [](SettingsValues& v) { v.message_expiry = "-5", v.max_length = ""; }, kExpiryOutOfRange},
      {"max length empty", [](SettingsValues& v) { v.max_length = ""; }, kMaxLengthNotNumeric},
      {"mail server empty", [](SettingsValues& v) { v.mail_server = ""; }, kInformationMissing},
      {"user name empty", [](SettingsValues& v) { v.access_user_name = ""; }, kInformationMissing},
      {"password empty", [](SettingsValues& v) { v.access_password = v.confirm_password = ""; },
       kInformationMissing},
      {"allowed IPs empty", [](SettingsValues& v) { v.allowed_ips = ""; }, kInformationMissing},
      {"error address empty", [](SettingsValues& v) { v.error_mail_address = ""; },
       kInformationMissing},
      {"error name empty", [](SettingsValues& v) { v.error_mail_name = ""; }, kInformationMissing},
      {"password not storable",
       [](SettingsValues& v) { v.access_password = v.confirm_password = "pa\xC3\xBF"; },
       kPasswordNotStorable},
      {"allowed IPs of spaces", [](SettingsValues& v) { v.allowed_ips = "   "; },
       kAllowedIPInvalid},
      {"allowed IP bad", [](SettingsValues& v) { v.allowed_ips = "1.2.3.4,bad"; },
       kAllowedIPInvalid},
      {"allowed IP bad mask", [](SettingsValues& v) { v.allowed_ips = "10.0.0.0/255.255.0"; },
       kAllowedIPInvalid},
      // Two failing checks: only the first is reported.
      {"mismatch and bad port",
       [](SettingsValues& v) { v.confirm_password = "x", v.listening_port = "x"; },
       kPasswordsDoNotMatch},
      {"bad port and bad expiry",
       [](SettingsValues& v) { v.listening_port = v.message_expiry = "x"; }, kPortNotNumeric},
      {"bad max length and blank", [](SettingsValues& v) { v.max_length = v.mail_server = ""; },
       kMaxLengthNotNumeric},
      {"blank and bad IPs",
       [](SettingsValues& v) { v.error_mail_name = "", v.allowed_ips = "bad"; },
       kInformationMissing},
      {"blank and unstorable",
       [](SettingsValues& v) {
         v.error_mail_address = "", v.access_password = v.confirm_password = "\xFF";
       },
       kInformationMissing},
      {"unstorable and bad IPs",
       [](SettingsValues& v) {
         v.allowed_ips = "bad", v.access_password = v.confirm_password = "\xFF";
       },
       kPasswordNotStorable},
  };
  for (const Case& c : cases) {
    SettingsValues typed = ValidValues();
    c.edit(typed);
    frm_.Show();
    window_.label1 = kFirstRunNotice;
    SaveResult result = frm_.Command2_Click(typed);
    EXPECT_FALSE(result.saved) << c.name;
    EXPECT_EQ(result.message.text, c.text) << c.name;
    EXPECT_EQ(result.message.title, "Invalid Setting Data") << c.name;
    EXPECT_EQ(result.message.icon, MessageBoxIcon::kInformation) << c.name;
    EXPECT_TRUE(frm_.is_open()) << c.name;
    EXPECT_EQ(frm_.values(), typed) << c.name;
    EXPECT_EQ(registry_.value_writes(), 0) << c.name;
    EXPECT_EQ(window_.label1, kFirstRunNotice) << c.name;
    EXPECT_EQ(window_.label1_sets, 0) << c.name;
    EXPECT_EQ(config_.MailServer, "smtp.example.com") << c.name;
    EXPECT_EQ(config_.AllowedIP, "127.0.0.1") << c.name;
  }
}

TEST_F(SettingsFrmTest, ExpiryTakesWholeMinutesUpToTheBound) {
  for (const char* expiry : {"0", "40000", "525600", " 90 ", "+5"}) {
    SettingsValues typed = ValidValues();
    typed.message_expiry = expiry;
    frm_.Show();
    SaveResult result = frm_.Command2_Click(typed);
    EXPECT_TRUE(result.saved) << expiry << ": " << result.message.text;
    EXPECT_EQ(Stored("MessageExpiry"), expiry);
  }
}

TEST_F(SettingsFrmTest, NumericTestTakesWhatReadsAsANumberWithoutRangeChecks) {
  for (const char* port : {"0", "65536", "25.5", " 25 ", "+25", "-1", "1e3", "1,025"}) {
    SettingsValues typed = ValidValues();
    typed.listening_port = port;
    frm_.Show();
    SaveResult result = frm_.Command2_Click(typed);
    EXPECT_TRUE(result.saved) << port << ": " << result.message.text;
    EXPECT_EQ(Stored("InternalPort"), port);
  }
}

TEST_F(SettingsFrmTest, SaveWritesEveryValueInOrderAndUpdatesTheRecord) {
  SettingsValues typed = ValidValues();
  SaveResult result = frm_.Command2_Click(typed);

  EXPECT_TRUE(result.saved);
  EXPECT_EQ(result.message.text,
            "You must restart the service before the new settings will take effect...");
  EXPECT_EQ(result.message.title, "Service Restart Required");
  EXPECT_EQ(result.message.icon, MessageBoxIcon::kCritical);
  EXPECT_FALSE(frm_.is_open());
  EXPECT_EQ(window_.label1, "");

  EXPECT_THAT(registry_.written,
              ElementsAre("MailServer", "ErrorMailAddress", "ErrorMailName", "InternalPort",
                          "MailFromAddress", "AccessUserName", "AccessPassword", "MessageExpiry",
                          "MaxLength", "AllowedIP", "ForwardOK", "StripCRLF"));
  EXPECT_EQ(Stored("MailServer"), "mail1.example.com;mail2.example.com");
  EXPECT_EQ(Stored("ErrorMailAddress"), "errors@example.com");
  EXPECT_EQ(Stored("ErrorMailName"), "Error Desk");
  EXPECT_EQ(Stored("InternalPort"), "2525");
  EXPECT_EQ(Stored("MailFromAddress"), "sender@example.com");
  EXPECT_EQ(Stored("AccessUserName"), "new-account");
  EXPECT_EQ(Stored("AccessPassword"), ScramblePassword("N3w Pass"));
  EXPECT_NE(Stored("AccessPassword"), "N3w Pass");
  EXPECT_EQ(UnscramblePassword(Stored("AccessPassword")), "N3w Pass");
  EXPECT_EQ(Stored("MessageExpiry"), "120");
  EXPECT_EQ(Stored("MaxLength"), "320");
  EXPECT_EQ(Stored("AllowedIP"), "10.0.0.0/255.0.0.0, 127.0.0.1");  // as typed, untrimmed
  EXPECT_EQ(Stored("ForwardOK"), "0");
  EXPECT_EQ(Stored("StripCRLF"), "1");
  EXPECT_EQ(registry_.GetRawValue(kSettingsKey, "ForwardOK")->type, REG_SZ);
  // Not this dialog's settings.
  EXPECT_EQ(Stored("LogDir"), "<missing>");
  EXPECT_EQ(Stored("LogDays"), "<missing>");

  EXPECT_EQ(config_.InternalPort, "2525");
  EXPECT_EQ(config_.MailServer, "mail1.example.com;mail2.example.com");
  EXPECT_EQ(config_.AccessUserName, "new-account");
  EXPECT_EQ(config_.AccessPassword, "N3w Pass");
  EXPECT_EQ(config_.MailFromAddress, "sender@example.com");
  EXPECT_EQ(config_.ErrorMailAddress, "errors@example.com");
  EXPECT_EQ(config_.ErrorMailName, "Error Desk");
  EXPECT_EQ(config_.MessageExpiry, "120");
  EXPECT_EQ(config_.MaxLength, "320");
  EXPECT_EQ(config_.AllowedIP, "10.0.0.0/255.0.0.0, 127.0.0.1");
  EXPECT_EQ(config_.ForwardOK, "0");
  EXPECT_EQ(config_.StripCRLF, "1");
  EXPECT_EQ(config_.LogDir, "/var/log/mailvane/");
  EXPECT_EQ(config_.LogDays, "7");
}

TEST_F(SettingsFrmTest, CheckBoxesAreSavedAsOneOrZero) {
  struct Case {
    int check;
    const char* stored;
  } cases[] = {{0, "0"}, {1, "1"}, {2, "1"}, {-1, "1"}};
  for (const Case& c : cases) {
    SettingsValues typed = ValidValues();
    typed.allow_forwarding = typed.strip_crlf = c.check;
    frm_.Show();
    ASSERT_TRUE(frm_.Command2_Click(typed).saved);
    EXPECT_EQ(Stored("ForwardOK"), c.stored) << c.check;
    EXPECT_EQ(Stored("StripCRLF"), c.stored) << c.check;
    EXPECT_EQ(config_.ForwardOK, c.stored) << c.check;
  }
}

TEST_F(SettingsFrmTest, BlankMailFromAddressIsSavedEmpty) {
  SettingsValues typed = ValidValues();
  typed.mail_from_address = "";
  ASSERT_TRUE(frm_.Command2_Click(typed).saved);
  EXPECT_EQ(Stored("MailFromAddress"), "");
  EXPECT_EQ(config_.MailFromAddress, "");
}

TEST_F(SettingsFrmTest, TextsAreSavedAsTypedWithoutTrimming) {
  SettingsValues typed = ValidValues();
  typed.mail_server = "  ";  // spaces are not blank
  typed.error_mail_name = " Desk ";
  ASSERT_TRUE(frm_.Command2_Click(typed).saved);
  EXPECT_EQ(Stored("MailServer"), "  ");
  EXPECT_EQ(Stored("ErrorMailName"), " Desk ");
}

TEST_F(SettingsFrmTest, RefusedAllowListLeavesTheListInEffect) {
  ASSERT_EQ(allow_list_.IsIPAllowed("127.0.0.1"), 1);
  SettingsValues typed = ValidValues();
  typed.allowed_ips = "192.168.1.5,bad";
  ASSERT_FALSE(frm_.Command2_Click(typed).saved);
  EXPECT_THAT(allow_list_.addresses(), ElementsAre("127.0.0.1"));
  EXPECT_EQ(allow_list_.IsIPAllowed("127.0.0.1"), 1);
  EXPECT_EQ(allow_list_.IsIPAllowed("192.168.1.5"), 0);

  // A successful save puts the new list into effect at once.
  typed.allowed_ips = "10.0.0.0/255.0.0.0";
  ASSERT_TRUE(frm_.Command2_Click(typed).saved);
  EXPECT_EQ(allow_list_.IsIPAllowed("10.1.2.3"), 1);
  EXPECT_EQ(allow_list_.IsIPAllowed("127.0.0.1"), 0);
}

TEST_F(SettingsFrmTest, ValidListRefusedByAnEarlierCheckIsNotPutIntoEffect) {
  SettingsValues typed = ValidValues();
  typed.allowed_ips = "10.0.0.0/255.0.0.0";
  typed.error_mail_name = "";
  ASSERT_FALSE(frm_.Command2_Click(typed).saved);
  EXPECT_EQ(allow_list_.IsIPAllowed("10.1.2.3"), 0);
  EXPECT_EQ(allow_list_.IsIPAllowed("127.0.0.1"), 1);
}

TEST_F(SettingsFrmTest, UnstorablePasswordIsRefusedBeforeAnythingIsWritten) {
  // Code 0xE9 plus the first key character's code passes 255.
  SettingsValues typed = ValidValues();
  typed.access_password = typed.confirm_password = "caf\xC3\xA9";
  ASSERT_FALSE(CanScramblePassword(typed.access_password));
  SaveResult result = frm_.Command2_Click(typed);
  EXPECT_FALSE(result.saved);
  EXPECT_EQ(result.message.text, kPasswordNotStorable);
  EXPECT_EQ(result.message.title, "Invalid Setting Data");
  EXPECT_EQ(registry_.value_writes(), 0);
  EXPECT_EQ(config_.AccessPassword, "Secret1");
  EXPECT_EQ(window_.label1, kFirstRunNotice);
}

TEST_F(SettingsFrmTest, CloseUnloadsAndSavesNothing) {
  frm_.Command1_Click();
  EXPECT_FALSE(frm_.is_open());
  EXPECT_EQ(registry_.value_writes(), 0);
  EXPECT_EQ(config_.MailServer, "smtp.example.com");
  EXPECT_EQ(window_.label1_sets, 0);
}

TEST_F(SettingsFrmTest, FailedWriteIsNotDetectedAndTheSaveGoesOn) {
  registry_.FailNthWrite(3);  // ErrorMailName
  SaveResult result = frm_.Command2_Click(ValidValues());
  EXPECT_TRUE(result.saved);
  EXPECT_EQ(registry_.written.size(), 11u);
  EXPECT_EQ(Stored("ErrorMailName"), "<missing>");
  EXPECT_EQ(Stored("StripCRLF"), "1");
  EXPECT_EQ(config_.ErrorMailName, "Error Desk");
}

}  // namespace
}  // namespace mailvane
