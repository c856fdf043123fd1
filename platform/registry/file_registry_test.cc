// What only the file store does: the file on disk, its permissions, damaged files, access checks
// and several processes sharing one store.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/loop/testing/fake_clock.h"
#include "platform/registry/registry.h"
#include "platform/registry/store_file.h"

namespace mailvane {
namespace {

using std::string_literals::operator""s;

constexpr char kKey[] = "SOFTWARE\\Mailvane";
constexpr char kFullKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

int Mode(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

long SetValue(Registry& registry, const std::string& name, uint32_t type,
              const std::string& bytes) {
  HKEY key = 0;
  uint32_t disposition = 0;
  long rc = registry.RegCreateKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS_3F,
                                    nullptr, &key, &disposition);
  if (rc != ERROR_SUCCESS) return rc;
  rc = registry.RegSetValueEx(key, name, 0, type, reinterpret_cast<const uint8_t*>(bytes.data()),
                              static_cast<uint32_t>(bytes.size()));
  registry.RegCloseKey(key);
  return rc;
}

class FileRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mv_reg_file_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    folder_ = tmpl;
    path_ = folder_ + "/registry.reg";
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::vector<std::string> DamagedCopies() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      std::string name = entry.path().filename().string();
      if (name.find(".damaged-") != std::string::npos) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string folder_;
  std::string path_;
};

TEST_F(FileRegistryTest, StorePathComesFromTheEnvironment) {
  setenv("MAILVANE_REGISTRY", "/srv/x/registry.reg", 1);
  EXPECT_EQ(RegistryStorePath(), "/srv/x/registry.reg");
  unsetenv("MAILVANE_REGISTRY");
  EXPECT_EQ(RegistryStorePath(), "/var/lib/mailvane/registry.reg");
}

TEST_F(FileRegistryTest, ValuesPersistInTheExportFormat) {
  auto registry = NewFileRegistry(path_);
  ASSERT_EQ(SetValue(*registry, "LogDir", REG_SZ, "C:\\a \"b\"\0"s), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(*registry, "Raw", REG_SZ, "30"), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(*registry, "N", REG_DWORD, "\x1e\0\0\0"s), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(path_),
            "REGEDIT4\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane]\n"
            "\"LogDir\"=\"C:\\\\a \\\"b\\\"\"\n"
            "\"Raw\"=hex(1):33,30\n"
            "\"N\"=dword:0000001e\n\n");
  // A reader in another object (as the queue handler would be) sees the same bytes.
  auto reader = NewFileRegistryReader(path_);
  HKEY key = 0;
  ASSERT_EQ(reader->RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS_3F, &key),
            ERROR_SUCCESS);
  uint8_t buffer[16];
  uint32_t size = sizeof buffer, type = 0;
  ASSERT_EQ(reader->RegQueryValueEx(key, "raw", &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "30");
  EXPECT_EQ(type, REG_SZ);
  reader->RegCloseKey(key);
}

TEST_F(FileRegistryTest, CreatedFoldersAndFilesAreOwnerOnly) {
  std::string deep = folder_ + "/lib/mailvane/registry.reg";
  auto registry = NewFileRegistry(deep);
  ASSERT_EQ(SetValue(*registry, "A", REG_SZ, "x\0"s), ERROR_SUCCESS);
  EXPECT_EQ(Mode(folder_ + "/lib"), 0700);
  EXPECT_EQ(Mode(folder_ + "/lib/mailvane"), 0700);
  EXPECT_EQ(Mode(deep), 0600);
  EXPECT_EQ(Mode(deep + ".lock"), 0600);
  // No temporary file is left behind.
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder_ + "/lib/mailvane")) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 2);
}

TEST_F(FileRegistryTest, MissingFileIsAnEmptyStore) {
  auto reader = NewFileRegistryReader(path_);
  HKEY key = 3;
  EXPECT_EQ(reader->RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS_3F, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, 0u);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(FileRegistryTest, DamagedFileIsReadAsFarAsPossibleAndCopiedBeforeTheFirstWrite) {
  const std::string damaged =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mailvane]\n\"Keep\"=\"yes\"\n"
      "this is not a registry line\n\"Cut\"=hex(1):41,4\x00\xff\xfe\n\x01\x02\x03binary\n"
      "\"Also\"=dword:00000007\n\"Trunc\"=hex:4"s;
  WriteFile(path_, damaged);
  FakeClock clock({2026, 12, 7, 9, 7, 3});
  auto registry = NewFileRegistry(path_, clock);
  HKEY key = 0;
  ASSERT_EQ(registry->RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS_3F, &key),
            ERROR_SUCCESS);
  uint32_t size = 0;
  EXPECT_EQ(registry->RegQueryValueEx(key, "Keep", nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(registry->RegQueryValueEx(key, "Also", nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(registry->RegQueryValueEx(key, "Cut", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(DamagedCopies().empty()) << "reading alone keeps no copy";

  // An earlier copy of the same second is never overwritten.
  WriteFile(path_ + ".damaged-20261207090703", "earlier");
  ASSERT_EQ(
      registry->RegSetValueEx(key, "New", 0, REG_SZ, reinterpret_cast<const uint8_t*>("v"), 2),
      ERROR_SUCCESS);
  EXPECT_EQ(DamagedCopies(), (std::vector<std::string>{"registry.reg.damaged-20261207090703",
                                                       "registry.reg.damaged-20261207090703-2"}));
  EXPECT_EQ(ReadFile(path_ + ".damaged-20261207090703"), "earlier");
  EXPECT_EQ(ReadFile(path_ + ".damaged-20261207090703-2"), damaged);
  EXPECT_EQ(Mode(path_ + ".damaged-20261207090703-2"), 0600);

  ParsedStore rewritten = ParseStoreFile(ReadFile(path_));
  EXPECT_FALSE(rewritten.damaged());
  const StoredKey* stored = rewritten.store.FindKey(kFullKey);
  ASSERT_NE(stored, nullptr);
  EXPECT_NE(stored->FindValue("Keep"), nullptr);
  EXPECT_NE(stored->FindValue("Also"), nullptr);
  EXPECT_NE(stored->FindValue("New"), nullptr);

  // The store is sound now: the next write keeps no further copy.
  clock.Advance(std::chrono::seconds(5));
  ASSERT_EQ(
      registry->RegSetValueEx(key, "More", 0, REG_SZ, reinterpret_cast<const uint8_t*>("w"), 2),
      ERROR_SUCCESS);
  EXPECT_EQ(DamagedCopies().size(), 2u);
  registry->RegCloseKey(key);
}

// Runs check in a child process without root's rights (when the tests run as root), so that the
// access checks see what an ordinary account sees. check returns 0 when all is well.
template <typename Check>
int AsOrdinaryUser(Check check) {
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    _exit(check());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

TEST_F(FileRegistryTest, StoreThatMayNotBeWrittenDeniesTheWriteMask) {
  {
    auto registry = NewFileRegistry(path_);
    ASSERT_EQ(SetValue(*registry, "LogDir", REG_SZ, "/var/log/\0"s), ERROR_SUCCESS);
  }
  ASSERT_EQ(chmod(folder_.c_str(), 0755), 0);
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  std::string path = path_;
  std::string missing = folder_ + "/other.reg";
  int result = AsOrdinaryUser([&] {
    auto reader = NewFileRegistryReader(path);
    HKEY key = 9;
    if (reader->RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS_3F, &key) !=
        ERROR_ACCESS_DENIED) {
      return 1;
    }
    if (key != 0) return 2;
    if (reader->RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
      return 3;
    }
    reader->RegCloseKey(key);
    // A missing file in a folder that may not be written.
    auto writer = NewFileRegistry(missing);
    uint32_t disposition = 0;
    if (writer->RegCreateKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS_3F, nullptr,
                               &key, &disposition) != ERROR_ACCESS_DENIED) {
      return 4;
    }
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

// Two processes write 200 values each while this one reads the file over and over: both sets
// end up in the store, and no read ever sees a damaged or shrunken file.
TEST_F(FileRegistryTest, ConcurrentWritersLoseNothingAndReadersSeeWholeFiles) {
  constexpr int kWrites = 200;
  auto writer = [&](char prefix) {
    pid_t pid = fork();
    if (pid == 0) {
      auto registry = NewFileRegistry(path_);
      for (int i = 0; i < kWrites; ++i) {
        std::string name = prefix + std::to_string(i);
        if (SetValue(*registry, name, REG_SZ, name + '\0') != ERROR_SUCCESS) _exit(1);
      }
      _exit(0);
    }
    return pid;
  };
  pid_t a = writer('A');
  pid_t b = writer('B');
  int running = 2, status_a = -1, status_b = -1, reads = 0;
  size_t last_count = 0;
  bool damaged_seen = false, shrank = false;
  for (int i = 0; i < 1000000 && running > 0; ++i) {
    std::string text = ReadFile(path_);
    if (!text.empty()) {
      ParsedStore parsed = ParseStoreFile(text);
      damaged_seen = damaged_seen || parsed.damaged() || text.substr(0, 8) != "REGEDIT4";
      const StoredKey* key = parsed.store.FindKey(kFullKey);
      size_t count = key ? key->values.size() : 0;
      shrank = shrank || count < last_count;
      last_count = count;
      ++reads;
    }
    if (status_a < 0 && waitpid(a, &status_a, WNOHANG) == a) --running;
    if (status_b < 0 && waitpid(b, &status_b, WNOHANG) == b) --running;
  }
  if (status_a < 0) waitpid(a, &status_a, 0);
  if (status_b < 0) waitpid(b, &status_b, 0);
  EXPECT_TRUE(WIFEXITED(status_a) && WEXITSTATUS(status_a) == 0);
  EXPECT_TRUE(WIFEXITED(status_b) && WEXITSTATUS(status_b) == 0);
  EXPECT_FALSE(damaged_seen);
  EXPECT_FALSE(shrank);
  EXPECT_GT(reads, 0);

  ParsedStore final_store = ParseStoreFile(ReadFile(path_));
  const StoredKey* key = final_store.store.FindKey(kFullKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->values.size(), 2u * kWrites);
  for (int i = 0; i < kWrites; ++i) {
    for (char prefix : {'A', 'B'}) {
      std::string name = prefix + std::to_string(i);
      const StoredValue* value = key->FindValue(name);
      ASSERT_NE(value, nullptr) << name;
      EXPECT_EQ(value->data, name + '\0');
    }
  }
}

}  // namespace
}  // namespace mailvane
