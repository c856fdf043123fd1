// The behaviour every Registry shares, run against the in-memory fake and the file store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/registry/testing/fake_registry.h"

namespace mailvane {
namespace {

constexpr char kKey[] = "SOFTWARE\\Mailvane";

struct Backend {
  const char* name;
  std::function<std::unique_ptr<Registry>(const std::string& folder)> make;
};

class RegistryConformanceTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mv_reg_conf_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    folder_ = tmpl;
    registry_ = GetParam().make(folder_);
  }
  void TearDown() override {
    registry_.reset();
    std::filesystem::remove_all(folder_);
  }

  HKEY Create(const std::string& path, uint32_t* disposition = nullptr) {
    HKEY key = 0;
    uint32_t unused = 0;
    EXPECT_EQ(registry_->RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS_3F,
                                        nullptr, &key, disposition ? disposition : &unused),
              ERROR_SUCCESS);
    return key;
  }

  void Set(HKEY key, const std::string& name, uint32_t type, const std::string& bytes) {
    ASSERT_EQ(
        registry_->RegSetValueEx(key, name, 0, type, reinterpret_cast<const uint8_t*>(bytes.data()),
                                 static_cast<uint32_t>(bytes.size())),
        ERROR_SUCCESS);
  }

  std::string folder_;
  std::unique_ptr<Registry> registry_;
};

TEST_P(RegistryConformanceTest, CreateReportsDispositionAndMakesParents) {
  uint32_t disposition = 0;
  HKEY key = Create("SOFTWARE\\Mailvane\\Sub", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_NE(key, 0u);
  EXPECT_EQ(registry_->RegCloseKey(key), ERROR_SUCCESS);
  key = Create("software\\MAILVANE\\sub", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  registry_->RegCloseKey(key);
  HKEY parent = 0;
  EXPECT_EQ(registry_->RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_QUERY_VALUE, &parent),
            ERROR_SUCCESS);
  registry_->RegCloseKey(parent);
}

TEST_P(RegistryConformanceTest, OpenMissingKeyFailsAndZeroesHandle) {
  HKEY key = 12345;
  EXPECT_EQ(registry_->RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS_3F, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, 0u);
}

TEST_P(RegistryConformanceTest, UnknownHandlesAreInvalid) {
  uint32_t size = 0;
  EXPECT_EQ(registry_->RegQueryValueEx(0, "X", nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(registry_->RegQueryValueEx(77, "X", nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(registry_->RegSetValueEx(0, "X", 0, REG_SZ, nullptr, 0), ERROR_INVALID_HANDLE);
  EXPECT_EQ(registry_->RegCloseKey(0), ERROR_INVALID_HANDLE);
  HKEY key = 5;
  EXPECT_EQ(registry_->RegOpenKeyEx(999, "A", 0, KEY_QUERY_VALUE, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(key, 0u);
  HKEY open = Create(kKey);
  EXPECT_EQ(registry_->RegCloseKey(open), ERROR_SUCCESS);
  EXPECT_EQ(registry_->RegCloseKey(open), ERROR_INVALID_HANDLE);
}

// The two-call size protocol, for each shape of value.
TEST_P(RegistryConformanceTest, QuerySizeProtocol) {
  HKEY key = Create(kKey);
  struct Case {
    uint32_t type;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {REG_SZ, std::string("30\0", 3)},
      {REG_SZ, ""},
      {REG_SZ, "no terminator"},
      {REG_DWORD, std::string("\x1e\0\0\0", 4)},
      {REG_EXPAND_SZ, std::string("%T%\0", 4)},
      {REG_BINARY, std::string("\x00\xff\x10", 3)},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    std::string name = "V" + std::to_string(i);
    Set(key, name, c.type, c.bytes);
    uint32_t type = 99, size = 1234;
    ASSERT_EQ(registry_->RegQueryValueEx(key, name, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.bytes.size());
    if (!c.bytes.empty()) {
      std::vector<uint8_t> small(c.bytes.size() - 1, 0xAA);
      uint32_t small_size = static_cast<uint32_t>(small.size());
      EXPECT_EQ(registry_->RegQueryValueEx(key, name, &type, small.data(), &small_size),
                ERROR_MORE_DATA);
      EXPECT_EQ(small_size, c.bytes.size());
    }
    std::vector<uint8_t> buffer(c.bytes.size() + 8, 0xAA);
    uint32_t buffer_size = static_cast<uint32_t>(buffer.size());
    ASSERT_EQ(registry_->RegQueryValueEx(key, name, nullptr, buffer.data(), &buffer_size),
              ERROR_SUCCESS);
    EXPECT_EQ(buffer_size, c.bytes.size());
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + buffer_size), c.bytes);
    EXPECT_EQ(buffer[buffer_size], 0xAA) << "wrote past the value";
  }
  uint32_t size = 0;
  EXPECT_EQ(registry_->RegQueryValueEx(key, "Missing", nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  registry_->RegCloseKey(key);
}

TEST_P(RegistryConformanceTest, NamesCompareWithoutCaseAndKeepFirstCase) {
  HKEY key = Create(kKey);
  Set(key, "LogDir", REG_SZ, std::string("a\0", 2));
  Set(key, "LOGDIR", REG_SZ, std::string("bb\0", 3));
  registry_->RegCloseKey(key);
  HKEY again = 0;
  ASSERT_EQ(
      registry_->RegOpenKeyEx(HKEY_LOCAL_MACHINE, "software\\mailvane", 0, KEY_QUERY_VALUE, &again),
      ERROR_SUCCESS);
  uint8_t buffer[8];
  uint32_t size = sizeof buffer;
  ASSERT_EQ(registry_->RegQueryValueEx(again, "logdir", nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), std::string("bb\0", 3));
  registry_->RegCloseKey(again);
}

TEST_P(RegistryConformanceTest, SetNeedsWriteAccess) {
  Create(kKey);
  HKEY key = 0;
  ASSERT_EQ(registry_->RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(registry_->RegSetValueEx(key, "X", 0, REG_SZ, reinterpret_cast<const uint8_t*>("a"), 2),
            ERROR_ACCESS_DENIED);
  registry_->RegCloseKey(key);
}

TEST_P(RegistryConformanceTest, HandleSeesItsOwnWritesAndLaterOpensSeeThem) {
  HKEY key = Create(kKey);
  Set(key, "A", REG_DWORD, std::string("\x01\0\0\0", 4));
  uint32_t size = 0;
  EXPECT_EQ(registry_->RegQueryValueEx(key, "A", nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  registry_->RegCloseKey(key);
}

std::vector<Backend> Backends() {
  return {
      {"Fake", [](const std::string&) { return std::make_unique<FakeRegistry>(); }},
      {"File",
       [](const std::string& folder) { return NewFileRegistry(folder + "/store/registry.reg"); }},
  };
}

INSTANTIATE_TEST_SUITE_P(All, RegistryConformanceTest, ::testing::ValuesIn(Backends()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mailvane
