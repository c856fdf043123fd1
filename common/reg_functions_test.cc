#include "common/reg_functions.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/registry/testing/fake_registry.h"

namespace mailvane {
namespace {

using std::string_literals::operator""s;

constexpr char kKey[] = "SOFTWARE\\Mailvane";

RegValue Text(const std::string& s) { return RegValue(s); }

// Settings written and read through the operations, over the fake and over the file store.
class RegFunctionsTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mv_regfn_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    folder_ = tmpl;
    if (GetParam()) {
      registry_ = NewFileRegistry(folder_ + "/registry.reg");
    } else {
      registry_ = std::make_unique<FakeRegistry>();
    }
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  Registry& reg() { return *registry_; }

  // A raw value through the layer itself.
  void SetRaw(const std::string& name, uint32_t type, const std::string& bytes) {
    HKEY key = 0;
    uint32_t disposition = 0;
    ASSERT_EQ(reg().RegCreateKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS_3F,
                                   nullptr, &key, &disposition),
              ERROR_SUCCESS);
    ASSERT_EQ(
        reg().RegSetValueEx(key, name, 0, type, reinterpret_cast<const uint8_t*>(bytes.data()),
                            static_cast<uint32_t>(bytes.size())),
        ERROR_SUCCESS);
    reg().RegCloseKey(key);
  }

  std::string folder_;
  std::unique_ptr<Registry> registry_;
};

TEST_P(RegFunctionsTest, StringsReadBackWithTheirTerminator) {
  CreateRegKey(reg(), HKEY_LOCAL_MACHINE, kKey);
  struct Case {
    std::string written;
    RegValue read;
  };
  const std::vector<Case> cases = {
      {"30", Text("30\0"s)},
      {"say \"hi\"", Text("say \"hi\"\0"s)},
      {"C:\\Mailvane\\", Text("C:\\Mailvane\\\0"s)},
      {"gr\xC3\xBC\xC3\x9F", Text("gr\xC3\xBC\xC3\x9F\0"s)},
      {"two\r\nlines", Text("two\r\nlines\0"s)},
      {"", Text("")},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    std::string name = "Value" + std::to_string(i);
    EXPECT_EQ(WriteSetting(reg(), HKEY_LOCAL_MACHINE, kKey, name, Text(cases[i].written), REG_SZ),
              ERROR_SUCCESS);
    EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, name), cases[i].read);
  }
}

TEST_P(RegFunctionsTest, StoredFormsReadAsTheyAre) {
  SetRaw("NoTerm", REG_SZ, "abc");
  SetRaw("EmptyWithTerm", REG_SZ, "\0"s);
  SetRaw("Number", REG_DWORD, "\xfe\xff\xff\xff"s);
  SetRaw("Expand", REG_EXPAND_SZ, "%PATH%\0"s);
  SetRaw("Binary", REG_BINARY, "\x01\x02"s);
  SetRaw("LongNumber", REG_DWORD, "\x01\0\0\0\0\0\0\0"s);
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "NoTerm"), Text("abc"));
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "EmptyWithTerm"), Text("\0"s));
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "Number"), RegValue(int32_t{-2}));
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "Expand"), RegValue());
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "Binary"), RegValue());
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "LongNumber"), RegValue());
}

TEST_P(RegFunctionsTest, ReadRegValueCodesAndLeavesValueOnFailure) {
  SetRaw("Expand", REG_EXPAND_SZ, "x\0"s);
  SetRaw("N", REG_DWORD, "\x1e\0\0\0"s);
  HKEY key = 0;
  ASSERT_EQ(reg().RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS_3F, &key),
            ERROR_SUCCESS);
  RegValue value = Text("before");
  EXPECT_EQ(ReadRegValue(reg(), key, "Expand", &value), -1);
  EXPECT_EQ(value, Text("before"));
  EXPECT_EQ(ReadRegValue(reg(), key, "Missing", &value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, Text("before"));
  EXPECT_EQ(ReadRegValue(reg(), 0, "N", &value), ERROR_INVALID_HANDLE);
  EXPECT_EQ(value, Text("before"));
  EXPECT_EQ(ReadRegValue(reg(), key, "N", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, RegValue(int32_t{30}));
  reg().RegCloseKey(key);
}

TEST_P(RegFunctionsTest, NumbersAndOtherTypesThroughWriteRegValue) {
  CreateRegKey(reg(), HKEY_LOCAL_MACHINE, kKey);
  HKEY key = 0;
  ASSERT_EQ(reg().RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS_3F, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(WriteRegValue(reg(), key, "N", REG_DWORD, RegValue(int32_t{-7})), ERROR_SUCCESS);
  EXPECT_EQ(WriteRegValue(reg(), key, "T", REG_DWORD, Text("65535")), ERROR_SUCCESS);
  EXPECT_EQ(WriteRegValue(reg(), key, "X", REG_EXPAND_SZ, Text("x")), ERROR_SUCCESS);
  EXPECT_EQ(WriteRegValue(reg(), key, "S", REG_SZ, RegValue(int32_t{25})), ERROR_SUCCESS);
  reg().RegCloseKey(key);
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "N"), RegValue(int32_t{-7}));
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "T"), RegValue(int32_t{65535}));
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "X"), RegValue());
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "S"), Text("25\0"s));
  // The other type wrote nothing at all: the name is not even there.
  HKEY again = 0;
  reg().RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &again);
  uint32_t size = 0;
  EXPECT_EQ(reg().RegQueryValueEx(again, "X", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  reg().RegCloseKey(again);
}

TEST_P(RegFunctionsTest, MissingKeyOrValueIsEmptyAndWriteSettingDoesNotCreate) {
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "LogDir"), RegValue());
  EXPECT_EQ(WriteSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "LogDir", Text("/var/log/"), REG_SZ),
            ERROR_FILE_NOT_FOUND);
  HKEY key = 0;
  EXPECT_EQ(reg().RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key),
            ERROR_FILE_NOT_FOUND);
  CreateRegKey(reg(), HKEY_LOCAL_MACHINE, kKey);
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "LogDir"), RegValue());
  CreateRegKey(reg(), HKEY_LOCAL_MACHINE, kKey);  // exists: opened and closed
  EXPECT_EQ(WriteSetting(reg(), HKEY_LOCAL_MACHINE, kKey, "LogDir", Text("/var/log/"), REG_SZ),
            ERROR_SUCCESS);
  EXPECT_EQ(ReadSetting(reg(), HKEY_LOCAL_MACHINE, "software\\mailvane", "logdir"),
            Text("/var/log/\0"s));
}

INSTANTIATE_TEST_SUITE_P(Stores, RegFunctionsTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "File" : "Fake"; });

TEST(RegFunctionsFakeTest, ReadOnlyStoreReadsEmptyAndWritesNothing) {
  FakeRegistry registry;
  registry.SetStringValue(kKey, "LogDir", "/var/log/");
  registry.set_read_only(true);
  EXPECT_EQ(ReadSetting(registry, HKEY_LOCAL_MACHINE, kKey, "LogDir"), RegValue());
  EXPECT_EQ(WriteSetting(registry, HKEY_LOCAL_MACHINE, kKey, "LogDir", Text("/tmp/"), REG_SZ),
            ERROR_ACCESS_DENIED);
  CreateRegKey(registry, HKEY_LOCAL_MACHINE, "SOFTWARE\\Other");
  EXPECT_EQ(registry.value_writes(), 0);
  EXPECT_FALSE(registry.KeyExists("SOFTWARE\\Other"));
  EXPECT_EQ(registry.open_handles(), 0u);
}

TEST(RegFunctionsFakeTest, FailedWriteIsReportedAndEveryHandleIsClosed) {
  FakeRegistry registry;
  CreateRegKey(registry, HKEY_LOCAL_MACHINE, kKey);
  registry.FailNthWrite(1);
  EXPECT_NE(WriteSetting(registry, HKEY_LOCAL_MACHINE, kKey, "A", Text("1"), REG_SZ),
            ERROR_SUCCESS);
  EXPECT_EQ(WriteSetting(registry, HKEY_LOCAL_MACHINE, kKey, "B", Text("2"), REG_SZ),
            ERROR_SUCCESS);
  EXPECT_FALSE(registry.GetRawValue(kKey, "A").has_value());
  EXPECT_EQ(registry.GetRawValue(kKey, "B")->data, "2\0"s);
  EXPECT_EQ(registry.keys_created(), 1);
  EXPECT_EQ(registry.open_handles(), 0u);
}

}  // namespace
}  // namespace mailvane
