// The fake's own test helpers: read-only mode, write counting and failure injection.
#include "platform/registry/testing/fake_registry.h"

#include <gtest/gtest.h>

namespace mailvane {
namespace {

constexpr char kKey[] = "SOFTWARE\\Mailvane";

long SetText(Registry& registry, HKEY key, const std::string& name, const std::string& text) {
  return registry.RegSetValueEx(key, name, 0, REG_SZ,
                                reinterpret_cast<const uint8_t*>(text.c_str()),
                                static_cast<uint32_t>(text.size() + 1));
}

TEST(FakeRegistryTest, ReadOnlyRefusesWriteMasksButAllowsQueries) {
  FakeRegistry registry;
  registry.SetStringValue(kKey, "LogDir", "/var/log/");
  registry.set_read_only(true);
  HKEY key = 7;
  EXPECT_EQ(registry.RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS_3F, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, 0u);
  uint32_t disposition = 0;
  EXPECT_EQ(registry.RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", 0, nullptr, 0,
                                    KEY_ALL_ACCESS_3F, nullptr, &key, &disposition),
            ERROR_ACCESS_DENIED);
  EXPECT_FALSE(registry.KeyExists("SOFTWARE\\Other"));
  ASSERT_EQ(registry.RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  uint32_t size = 0;
  EXPECT_EQ(registry.RegQueryValueEx(key, "LogDir", nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 10u);
  registry.RegCloseKey(key);
  EXPECT_EQ(registry.open_handles(), 0u);
}

TEST(FakeRegistryTest, FailsTheNthWriteOnlyAndCountsTheOthers) {
  FakeRegistry registry;
  registry.CreateKey(kKey);
  HKEY key = 0;
  ASSERT_EQ(registry.RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS_3F, &key),
            ERROR_SUCCESS);
  registry.FailNthWrite(2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetText(registry, key, "A", "1"), ERROR_SUCCESS);
  EXPECT_EQ(SetText(registry, key, "B", "2"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetText(registry, key, "C", "3"), ERROR_SUCCESS);
  EXPECT_EQ(registry.value_writes(), 2);
  EXPECT_TRUE(registry.GetRawValue(kKey, "A").has_value());
  EXPECT_FALSE(registry.GetRawValue(kKey, "B").has_value());
  auto c = registry.GetRawValue(kKey, "c");
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->type, REG_SZ);
  EXPECT_EQ(c->data, std::string("3\0", 2));
  registry.RegCloseKey(key);
}

TEST(FakeRegistryTest, HandleSnapshotsValuesAtOpen) {
  FakeRegistry registry;
  registry.SetDwordValue(kKey, "N", 1);
  HKEY key = 0;
  ASSERT_EQ(registry.RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  registry.SetRawValue(kKey, "N", REG_SZ, std::string("long text\0", 10));
  uint32_t type = 0, size = 0;
  EXPECT_EQ(registry.RegQueryValueEx(key, "N", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  registry.RegCloseKey(key);
}

}  // namespace
}  // namespace mailvane
