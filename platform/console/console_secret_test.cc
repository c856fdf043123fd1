#include "platform/console/console_secret.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace mailvane {
namespace {

namespace fs = std::filesystem;

class ConsoleSecretTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/console_secret_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "console.secret").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  std::string path_;
};

TEST_F(ConsoleSecretTest, SecretFileIsPrivateAndReused) {
  std::string first;
  ASSERT_FALSE(LoadOrCreateConsoleSecret(path_, &first));
  struct stat info {};
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(first.size(), 64u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);

  std::string second;
  ASSERT_FALSE(LoadOrCreateConsoleSecret(path_, &second));
  EXPECT_EQ(second, first);

  // A second file gets a different secret.
  std::string other;
  ASSERT_FALSE(LoadOrCreateConsoleSecret((dir_ / "other.secret").string(), &other));
  EXPECT_NE(other, first);
}

TEST_F(ConsoleSecretTest, SecretFileOpenToOthersOrDamagedIsRefused) {
  std::ofstream(path_) << std::string(64, 'A') << "\n";
  chmod(path_.c_str(), 0644);
  std::string secret;
  EXPECT_TRUE(LoadOrCreateConsoleSecret(path_, &secret));

  chmod(path_.c_str(), 0600);
  EXPECT_FALSE(LoadOrCreateConsoleSecret(path_, &secret));
  EXPECT_EQ(secret, std::string(64, 'a'));

  std::ofstream(path_) << "short\n";
  EXPECT_TRUE(LoadOrCreateConsoleSecret(path_, &secret));
  EXPECT_TRUE(LoadOrCreateConsoleSecret((dir_ / "no" / "such" / "folder").string(), &secret));
}

}  // namespace
}  // namespace mailvane
