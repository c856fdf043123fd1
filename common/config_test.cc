#include "common/config.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "common/allow_list.h"
#include "common/error.h"
#include "common/scramble.h"
#include "mailvane_version.h"
#include "platform/files/testing/fake_file_system.h"
#include "platform/registry/testing/fake_registry.h"

namespace mailvane {
namespace {

class FakeMainWindow final : public MainWindow {
 public:
  void SetCaption(const std::string& caption) override { caption_ = caption; }
  void SetLabel1(const std::string& text) override { label1_ = text; }
  void AddToList(const std::string& text) override { list_.push_back(text); }

  std::string caption_ = "untouched";
  std::string label1_ = "untouched";
  std::vector<std::string> list_;
};

std::string Stored(const std::string& text) { return text + std::string(1, '\0'); }

// The fourteen values of a first run, in the order they are written, as stored.
const std::vector<std::pair<std::string, std::string>>& DefaultsAsStored() {
  static const auto* defaults = new std::vector<std::pair<std::string, std::string>>{
      {"MailServer", kDefaultMailServer},
      {"LogDir", "/opt/mailvane/bin"},
      {"ErrorMailAddress", kDefaultErrorMailAddress},
      {"ErrorMailName", "Unknown"},
      {"LogDays", "30"},
      {"InternalPort", "25"},
      {"MailFromAddress", kDefaultMailFromAddress},
      {"AccessUserName", "pinewarden"},
      {"AccessPassword", ScramblePassword("pinewarden")},
      {"MessageExpiry", "60"},
      {"MaxLength", "160"},
      {"AllowedIP", "127.0.0.1"},
      {"ForwardOK", "1"},
      {"StripCRLF", "1"},
  };
  return *defaults;
}

class ServerSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { files_.AddFolder(kFolder); }

  void StoreAll(const std::string& mail_server) {
    for (const auto& [name, value] : DefaultsAsStored()) {
      registry_.SetStringValue(kSettingsKey, name, value);
    }
    registry_.SetStringValue(kSettingsKey, "MailServer", mail_server);
  }
  std::optional<std::string> Raw(const std::string& name) const {
    auto value = registry_.GetRawValue(kSettingsKey, name);
    if (!value || value->type != REG_SZ) return std::nullopt;
    return value->data;
  }

  static constexpr char kFolder[] = "/opt/mailvane/bin";
  FakeRegistry registry_;
  FakeFileSystem files_;
  FakeMainWindow window_;
  AllowList allow_list_;
  ConfigRecord config_;
  int sweep_counter_ = 77;
  long long spool_counter_ = 77;
  ServerSettingsContext context_{registry_, files_,         window_,        allow_list_,
                                 config_,   sweep_counter_, spool_counter_, kFolder};
};

TEST_F(ServerSettingsTest, AFirstRunStoresTheDefaultsAndLoadsThem) {
  RunSettingsStartup(context_);

  const StoredKey* key = registry_.store().FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane");
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->values.size(), 14u);
  for (size_t i = 0; i < 14; ++i) {
    EXPECT_EQ(key->values[i].name, DefaultsAsStored()[i].first);
    EXPECT_EQ(key->values[i].type, REG_SZ);
    EXPECT_EQ(key->values[i].data, Stored(DefaultsAsStored()[i].second)) << key->values[i].name;
  }
  EXPECT_EQ(window_.label1_, kFirstRunNotice);
  EXPECT_EQ(window_.caption_, std::string("Mailvane - ") + kVersionText);

  EXPECT_EQ(config_.MailServer, kDefaultMailServer);
  EXPECT_EQ(config_.LogDir, "/opt/mailvane/bin/");
  EXPECT_EQ(config_.AccessPassword, "pinewarden");
  EXPECT_EQ(config_.AccessUserName, "pinewarden");
  EXPECT_EQ(config_.ErrorMailAddress, kDefaultErrorMailAddress);
  EXPECT_EQ(config_.MailFromAddress, kDefaultMailFromAddress);
  EXPECT_EQ(config_.ErrorMailName, "Unknown");
  EXPECT_EQ(config_.InternalPort, "25");
  EXPECT_EQ(config_.MessageExpiry, "60");
  EXPECT_EQ(config_.MaxLength, "160");
  EXPECT_EQ(config_.AllowedIP, "127.0.0.1");
  EXPECT_EQ(config_.ForwardOK, "1");
  EXPECT_EQ(config_.StripCRLF, "1");
  EXPECT_EQ(config_.LogDays, "30");

  EXPECT_EQ(allow_list_.IsIPAllowed("127.0.0.1"), 1);
  EXPECT_EQ(allow_list_.IsIPAllowed("127.0.0.2"), 0);
  EXPECT_TRUE(files_.FolderExists("/opt/mailvane/bin/messages"));
  EXPECT_EQ(files_.current_folder(), "/opt/mailvane/bin");
  EXPECT_EQ(sweep_counter_, 1);
  EXPECT_EQ(spool_counter_, 0);
}

TEST_F(ServerSettingsTest, AnEmptyMailServerBringsBackEveryDefault) {
  StoreAll("");
  registry_.SetStringValue(kSettingsKey, "MaxLength", "70");
  registry_.SetStringValue(kSettingsKey, "AllowedIP", "10.0.0.1");
  RunSettingsStartup(context_);
  EXPECT_EQ(Raw("MaxLength"), Stored("160"));
  EXPECT_EQ(Raw("AllowedIP"), Stored("127.0.0.1"));
  EXPECT_EQ(config_.MaxLength, "160");
  EXPECT_EQ(config_.MailServer, kDefaultMailServer);
  EXPECT_EQ(window_.label1_, kFirstRunNotice);
  EXPECT_EQ(allow_list_.IsIPAllowed("10.0.0.1"), 0);
}

TEST_F(ServerSettingsTest, AKeyWithAMailServerIsNotCompleted) {
  registry_.SetStringValue(kSettingsKey, "MailServer", "mx.example.org");
  ASSERT_EQ(allow_list_.LoadAllowedIPs("192.0.2.1"), 1);
  RunSettingsStartup(context_);
  EXPECT_EQ(registry_.value_writes(), 0);
  EXPECT_EQ(window_.label1_, "untouched");
  EXPECT_EQ(config_.MailServer, "mx.example.org");
  EXPECT_EQ(config_.LogDir, "");
  EXPECT_EQ(config_.AccessPassword, "");
  EXPECT_EQ(config_.LogDays, "");
  // No AllowedIP: the allow-list in effect stays; no LogDir: the spool folder is relative.
  EXPECT_EQ(allow_list_.IsIPAllowed("192.0.2.1"), 1);
  EXPECT_TRUE(files_.FolderExists("/opt/mailvane/bin/messages"));
  EXPECT_EQ(window_.caption_, std::string("Mailvane - ") + kVersionText);
}

TEST_F(ServerSettingsTest, LogDirIsHeldWithItsSeparator) {
  const std::pair<const char*, const char*> cases[] = {
      {"/var/log/mailvane", "/var/log/mailvane/"},
      {"/var/log/mailvane/", "/var/log/mailvane/"},
      {"D:\\logs", "D:\\logs/"},
      {"D:\\logs\\", "D:\\logs\\"},
      {"D:\\logs/", "D:\\logs/"},
      {"logs", "logs/"},
      {"/", "/"},
      {"", ""},
  };
  StoreAll("mx.example.org");
  for (const auto& [stored, held] : cases) {
    registry_.SetStringValue(kSettingsKey, "LogDir", stored);
    LoadSettings(context_);
    EXPECT_EQ(config_.LogDir, held) << stored;
  }
}

TEST_F(ServerSettingsTest, AnInvalidStoredPasswordEndsTheLoadThere) {
  StoreAll("mx.example.org");
  registry_.SetStringValue(kSettingsKey, "AccessPassword", "not scrambled");
  try {
    RunSettingsStartup(context_);
    FAIL() << "no error";
  } catch (const MailvaneError& e) {
    EXPECT_EQ(e.number(), kErrInvalidCall);  // odd length
  }
  EXPECT_EQ(config_.MailServer, "mx.example.org");
  EXPECT_EQ(config_.AccessUserName, "pinewarden");
  EXPECT_EQ(config_.LogDir, "/opt/mailvane/bin/");
  EXPECT_EQ(config_.MessageExpiry, "");
  EXPECT_EQ(config_.AllowedIP, "");
  EXPECT_EQ(config_.LogDays, "");
  EXPECT_EQ(allow_list_.IsIPAllowed("127.0.0.1"), 0);
  EXPECT_EQ(window_.caption_, "untouched");
  EXPECT_EQ(sweep_counter_, 77);
  EXPECT_EQ(registry_.value_writes(), 0);
}

TEST_F(ServerSettingsTest, AnInvalidStoredAllowListIsUsedAsParsed) {
  StoreAll("mx.example.org");
  registry_.SetStringValue(kSettingsKey, "AllowedIP", "10.0.0.1,bad,10.0.0.2");
  LoadSettings(context_);
  EXPECT_EQ(allow_list_.IsIPAllowed("10.0.0.1"), 1);
  EXPECT_EQ(allow_list_.IsIPAllowed("10.0.0.2"), 1);  // exact text, though never validated
  EXPECT_EQ(config_.AllowedIP, "10.0.0.1,bad,10.0.0.2");
}

TEST_F(ServerSettingsTest, DefaultsAreWrittenEvenWhenAWriteFails) {
  registry_.FailNthWrite(1);
  WriteDefaultSettings(context_);
  EXPECT_FALSE(Raw("MailServer").has_value());
  EXPECT_EQ(Raw("LogDir"), Stored("/opt/mailvane/bin"));
  EXPECT_EQ(Raw("StripCRLF"), Stored("1"));
  EXPECT_EQ(registry_.value_writes(), 13);
  EXPECT_EQ(window_.label1_, kFirstRunNotice);
  EXPECT_EQ(allow_list_.IsIPAllowed("127.0.0.1"), 1);
}

TEST_F(ServerSettingsTest, AReadOnlyRegistryStillGivesTheNoticeAndTheAllowList) {
  registry_.set_read_only(true);
  RunSettingsStartup(context_);
  EXPECT_EQ(registry_.value_writes(), 0);
  EXPECT_EQ(window_.label1_, kFirstRunNotice);
  EXPECT_EQ(config_.MailServer, "");
  EXPECT_EQ(allow_list_.IsIPAllowed("127.0.0.1"), 1);
}

TEST_F(ServerSettingsTest, ADefaultLogDirAtTheRootStaysTheRoot) {
  files_.AddFolder("/");
  ServerSettingsContext at_root{registry_, files_,         window_,        allow_list_,
                                config_,   sweep_counter_, spool_counter_, "/"};
  RunSettingsStartup(at_root);
  EXPECT_EQ(Raw("LogDir"), Stored("/"));
  EXPECT_EQ(config_.LogDir, "/");
  EXPECT_TRUE(files_.FolderExists("/messages"));
}

TEST(ReadConfigValueTest, OnlyATerminatingZeroIsDropped) {
  struct Case {
    uint32_t type;
    std::string data;
    std::string read;
  };
  const Case cases[] = {
      {REG_SZ, Stored("30"), "30"},
      {REG_SZ, "30", "30"},  // stored without a terminator by another tool: kept whole
      {REG_SZ, Stored(""), ""},
      {REG_SZ, "", ""},
      {REG_SZ, std::string("a\0\0", 3), std::string("a\0", 2)},
      {REG_DWORD, std::string("\x1e\0\0\0", 4), "30"},
      {REG_DWORD, std::string("\xff\xff\xff\xff", 4), "-1"},
      {REG_EXPAND_SZ, Stored("%TEMP%"), ""},
  };
  for (const Case& c : cases) {
    FakeRegistry registry;
    registry.SetRawValue(kSettingsKey, "Value", c.type, c.data);
    EXPECT_EQ(ReadConfigValue(registry, "Value"), c.read) << c.data;
  }
  FakeRegistry empty;
  EXPECT_EQ(ReadConfigValue(empty, "Value"), "");
}

class HandlerSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_.AddFolder("/opt/mailvane/bin");
    for (const auto& [name, value] : DefaultsAsStored()) {
      registry_.SetStringValue(kSettingsKey, name, value);
    }
  }
  FakeRegistry registry_;
  FakeFileSystem files_;
  ConfigRecord config_;
};

TEST_F(HandlerSettingsTest, TheHandlerLoadsItsTwelveFieldsAndNeverTheServersTwo) {
  LoadHandlerSettings(registry_, files_, "/opt/mailvane/bin", &config_);
  EXPECT_EQ(config_.MailServer, kDefaultMailServer);
  EXPECT_EQ(config_.LogDir, "/opt/mailvane/bin/");
  EXPECT_EQ(config_.AccessPassword, "pinewarden");
  EXPECT_EQ(config_.MessageExpiry, "60");
  EXPECT_EQ(config_.StripCRLF, "1");
  EXPECT_EQ(config_.AllowedIP, "");
  EXPECT_EQ(config_.LogDays, "");
  EXPECT_EQ(files_.current_folder(), "/opt/mailvane/bin");
  EXPECT_FALSE(files_.FolderExists("/opt/mailvane/bin/messages"));
}

TEST_F(HandlerSettingsTest, TheHandlerNeverAppliesDefaults) {
  FakeRegistry empty;
  LoadHandlerSettings(empty, files_, "/opt/mailvane/bin", &config_);
  EXPECT_EQ(config_.MailServer, "");
  EXPECT_EQ(empty.value_writes(), 0);
  EXPECT_FALSE(empty.KeyExists(kSettingsKey));
}

TEST_F(HandlerSettingsTest, AnErrorEndsTheHandlersLoadAndPropagates) {
  registry_.SetStringValue(kSettingsKey, "AccessPassword", "ZZ");
  try {
    LoadHandlerSettings(registry_, files_, "/opt/mailvane/bin", &config_);
    FAIL() << "no error";
  } catch (const MailvaneError& e) {
    EXPECT_EQ(e.number(), kErrTypeMismatch);
  }
  EXPECT_EQ(config_.MessageExpiry, "60");  // loaded before the password in the handler's order
  EXPECT_EQ(config_.MaxLength, "");
  EXPECT_EQ(config_.ForwardOK, "");
  EXPECT_EQ(files_.current_folder(), "/");

  ConfigRecord fresh;
  registry_.SetStringValue(kSettingsKey, "AccessPassword", ScramblePassword("x"));
  try {
    LoadHandlerSettings(registry_, files_, "/no/such/folder", &fresh);
    FAIL() << "no error";
  } catch (const MailvaneError& e) {
    EXPECT_EQ(e.number(), kErrPathNotFound);
  }
  EXPECT_EQ(fresh.StripCRLF, "1");
}

// One named value, checked by its row and written alone, as an administrator's command sets it.
TEST(SetNamedSettingTest, EachValueIsCheckedByItsRowBeforeItIsWritten) {
  struct Case {
    const char* name;
    std::string value;
    std::string refusal;  // empty: written
    std::string stored;   // as stored after it, without the terminator
  };
  const std::string scrambled = ScramblePassword("N3w Pass");
  const Case cases[] = {
      {"MessageExpiry", "40000", "", "40000"},
      {"MessageExpiry", "525601", kExpiryOutOfRange, "60"},
      {"MessageExpiry", "60.5", kExpiryOutOfRange, "60"},
      {"MessageExpiry", "soon", kExpiryNotNumeric, "60"},
      {"InternalPort", "25a", kPortNotNumeric, "25"},
      {"MaxLength", "", kMaxLengthNotNumeric, "160"},
      {"ForwardOK", "0", "", "0"},
      {"StripCRLF", "yes", kFlagNotOneOrZero, "1"},
      {"MailServer", "", kInformationMissing, kDefaultMailServer},
      {"AllowedIP", "10.0.0.0/255.0.0.0,bad", kAllowedIPInvalid, "127.0.0.1"},
      {"AllowedIP", "10.0.0.0/255.0.0.0", "", "10.0.0.0/255.0.0.0"},
      {"AccessPassword", "N3w Pass", "", scrambled},
      {"AccessPassword", "caf\xC3\xA9", kPasswordNotStorable, ScramblePassword("pinewarden")},
      {"MailFromAddress", "", "", ""},
      {"LogDir", "/var/log/mailvane", "", "/var/log/mailvane"},
      {"NoSuchValue", "1", "There is no setting NoSuchValue under SOFTWARE\\Mailvane...", ""},
  };
  for (const Case& c : cases) {
    FakeRegistry registry;
    for (const auto& [name, value] : DefaultsAsStored()) {
      registry.SetStringValue(kSettingsKey, name, value);
    }
    SettingWrite result = SetNamedSetting(registry, kMainKey, c.name, c.value);
    EXPECT_EQ(result.refusal, c.refusal) << c.name << "=" << c.value;
    EXPECT_EQ(result.written(), c.refusal.empty()) << c.name << "=" << c.value;
    EXPECT_EQ(ReadConfigValue(registry, c.name), c.stored) << c.name << "=" << c.value;
    EXPECT_EQ(registry.value_writes(), c.refusal.empty() ? 1 : 0) << c.name << "=" << c.value;
  }

  // The key is created when missing; a store that takes nothing gives its code.
  FakeRegistry fresh;
  EXPECT_TRUE(SetNamedSetting(fresh, kMainKey, "LogDays", "7").written());
  EXPECT_EQ(ReadConfigValue(fresh, "LogDays"), "7");
  fresh.set_read_only(true);
  SettingWrite refused = SetNamedSetting(fresh, kMainKey, "LogDays", "8");
  EXPECT_EQ(refused.refusal, "");
  EXPECT_EQ(refused.code, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(refused.written());
}

}  // namespace
}  // namespace mailvane
