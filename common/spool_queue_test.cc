#include "common/spool_queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>

#include "platform/files/testing/fake_file_system.h"

namespace mailvane {
namespace {

using ::testing::ElementsAre;

// The spool's crash-safety order holds on the real file system and on the fake the programs'
// tests run on alike.
class SpoolQueueContractTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      std::string pattern = ::testing::TempDir() + "mv_spool_XXXXXX";
      ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
      root_ = pattern;
      files_ = NewPosixFileSystem();
    } else {
      root_ = "/work";
      auto fake = std::make_unique<FakeFileSystem>();
      fake->AddFolder(root_);
      files_ = std::move(fake);
    }
    folder_ = root_ + "/messages/";
    ASSERT_FALSE(files_->CreateFolder(root_ + "/messages"));
  }
  void TearDown() override {
    if (GetParam()) std::filesystem::remove_all(root_);
  }

  void Put(const std::string& name) {
    ASSERT_FALSE(files_->WriteFileDurably(folder_, "." + name + ".w", name,
                                          "1:", FileReaders::kOwnerAndGroup));
  }
  std::vector<std::string> Names() {
    std::vector<FileInfo> listed;
    EXPECT_FALSE(files_->ListFiles(folder_, &listed));
    std::vector<std::string> names;
    for (const FileInfo& file : listed) names.push_back(file.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string root_;
  std::string folder_;
  std::unique_ptr<FileSystem> files_;
};

TEST_P(SpoolQueueContractTest, AMailGoesInRecordFirstAndOutFileFirst) {
  std::vector<FileWrite> mail = SpoolMailFiles("a@example.org\n", "body\r\n");
  EXPECT_THAT(NameSpoolMail("9.1.msg", /*earlier_records=*/true, &mail),
              ElementsAre("9.1.msg.done"));
  ASSERT_EQ(mail.size(), 2u);
  EXPECT_EQ(mail.front().final_name, "9.1.msg.env");  // in place before its spool file
  EXPECT_EQ(mail.back().final_name, "9.1.msg");
  std::vector<FileWrite> alone = SpoolMailFiles(std::nullopt, "body\r\n");
  EXPECT_THAT(NameSpoolMail("9.2.msg", true, &alone), ElementsAre("9.2.msg.done", "9.2.msg.env"));
  EXPECT_TRUE(NameSpoolMail("9.3.msg", false, &alone).empty());
  ASSERT_FALSE(files_->WriteFilesSynced(folder_, mail, FileReaders::kOwnerAndGroup));

  std::vector<std::string> recipients;
  ASSERT_FALSE(ReadEnvelopeRecord(*files_, folder_ + "9.1.msg", &recipients));
  EXPECT_THAT(recipients, ElementsAre("a@example.org"));
  ASSERT_FALSE(WriteServedRecord(*files_, folder_, "9.1.msg", "1:"));
  ASSERT_FALSE(WriteServedRecord(*files_, folder_, "9.1.msg", "1:2:"));
  EXPECT_EQ(ReadServedRecord(*files_, folder_ + "9.1.msg"), "1:2:");
  EXPECT_EQ(ReadServedRecord(*files_, folder_ + "9.2.msg"), std::nullopt);

  // A spool file that cannot be deleted (here a folder in its place) keeps its records.
  ASSERT_FALSE(files_->CreateFolder(folder_ + "8.1.msg"));
  Put("8.1.msg.env");
  Put("8.1.msg.done");
  EXPECT_TRUE(RemoveMessage(*files_, folder_ + "8.1.msg"));
  EXPECT_THAT(Names(),
              ElementsAre("8.1.msg.done", "8.1.msg.env", "9.1.msg", "9.1.msg.done", "9.1.msg.env"));

  EXPECT_FALSE(RemoveMessage(*files_, folder_ + "9.1.msg"));
  EXPECT_THAT(Names(), ElementsAre("8.1.msg.done", "8.1.msg.env"));
  // Gone already: said so, and its records go all the same.
  Put("7.1.msg.env");
  EXPECT_EQ(RemoveMessage(*files_, folder_ + "7.1.msg"), std::errc::no_such_file_or_directory);
  EXPECT_THAT(Names(), ElementsAre("8.1.msg.done", "8.1.msg.env"));
}

TEST_P(SpoolQueueContractTest, EachProgramRemovesOnlyItsOwnLeftovers) {
  for (const char* name : {"5.7.msg", "5.7.msg.env", "5.7.msg.done", "4.3.msg.env", "3.2.msg.done",
                           ".6.9.msg.tmp", ".6.9.msg.env.tmp", ".5.7.msg.done.tmp", "notes.txt"})
    Put(name);
  EXPECT_EQ(RemoveServerLeftovers(*files_, folder_), 9);
  EXPECT_THAT(Names(), ElementsAre(".5.7.msg.done.tmp", "3.2.msg.done", "5.7.msg", "5.7.msg.done",
                                   "5.7.msg.env", "notes.txt"));
  std::vector<FileInfo> listed;
  ASSERT_FALSE(files_->ListFiles(folder_, &listed));
  RemoveHandlerLeftovers(*files_, folder_, listed);
  EXPECT_THAT(Names(), ElementsAre("5.7.msg", "5.7.msg.done", "5.7.msg.env", "notes.txt"));
  EXPECT_EQ(RemoveServerLeftovers(*files_, root_ + "/absent/"), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Both, SpoolQueueContractTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Posix" : "Fake"; });

}  // namespace
}  // namespace mailvane
