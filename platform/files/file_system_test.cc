#include "platform/files/file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/files/testing/fake_file_system.h"
#include "platform/loop/testing/fake_clock.h"

namespace mailvane {
namespace {

constexpr FileReaders kShared = FileReaders::kOwnerAndGroup;

std::string ReadAll(FileSystem& files, const std::string& path) {
  if (auto* fake = dynamic_cast<FakeFileSystem*>(&files)) return fake->Contents(path).value_or("");
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> Names(FileSystem& files, const std::string& folder) {
  std::vector<FileInfo> listed;
  EXPECT_FALSE(files.ListFiles(folder, &listed));
  std::vector<std::string> names;
  for (const FileInfo& info : listed) names.push_back(info.name);
  std::sort(names.begin(), names.end());
  return names;
}

// One case of the shared contract runs against the real file system and against the fake, so
// that the fake cannot drift from what the POSIX implementation does.
struct Implementation {
  const char* name;
  bool posix;
};

class FileSystemContractTest : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    if (GetParam().posix) {
      std::string pattern = ::testing::TempDir() + "mv_files_XXXXXX";
      ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
      root_ = pattern;
      files_ = NewPosixFileSystem();
    } else {
      root_ = "/work";
      auto fake = std::make_unique<FakeFileSystem>();
      fake->AddFolder(root_);
      files_ = std::move(fake);
    }
    char* cwd = ::getcwd(nullptr, 0);
    saved_cwd_ = cwd;
    ::free(cwd);
  }
  void TearDown() override {
    if (GetParam().posix) {
      ASSERT_EQ(::chdir(saved_cwd_.c_str()), 0);
      std::filesystem::remove_all(root_);
    }
  }

  std::string root_;
  std::string saved_cwd_;
  std::unique_ptr<FileSystem> files_;
};

TEST_P(FileSystemContractTest, AppendLineCreatesThenAppendsWithCrLf) {
  std::string path = root_ + "/20261207.log";
  EXPECT_FALSE(files_->FileExists(path));
  EXPECT_FALSE(files_->AppendLine(path, "first"));
  EXPECT_FALSE(files_->AppendLine(path, ""));
  EXPECT_FALSE(files_->AppendLine(path, "third line"));
  EXPECT_EQ(ReadAll(*files_, path), "first\r\n\r\nthird line\r\n");
  EXPECT_TRUE(files_->FileExists(path));
  EXPECT_FALSE(files_->FolderExists(path));
  // A log removed between two lines is created anew, not written on unseen.
  ASSERT_FALSE(files_->DeleteFile(path));
  EXPECT_FALSE(files_->AppendLine(path, "after"));
  EXPECT_EQ(ReadAll(*files_, path), "after\r\n");
}

TEST_P(FileSystemContractTest, ErrorsCarryTheErrnoOfTheFailure) {
  std::string missing = root_ + "/missing";
  EXPECT_EQ(files_->AppendLine(missing + "/a.log", "x"), std::errc::no_such_file_or_directory);
  EXPECT_EQ(files_->DeleteFile(missing), std::errc::no_such_file_or_directory);
  EXPECT_EQ(files_->CreateFolder(missing + "/deeper"), std::errc::no_such_file_or_directory);
  std::vector<FileInfo> listed{{"stale", TimePoint()}};
  EXPECT_EQ(files_->ListFiles(missing, &listed), std::errc::no_such_file_or_directory);
  EXPECT_TRUE(listed.empty());
  EXPECT_EQ(files_->SetCurrentFolder(missing), std::errc::no_such_file_or_directory);
  EXPECT_EQ(files_->CreateFolder(root_), std::errc::file_exists);
  EXPECT_EQ(files_->WriteFileDurably(missing, "t.tmp", "f.msg", "x", kShared),
            std::errc::no_such_file_or_directory);
}

TEST_P(FileSystemContractTest, ListFilesGivesFilesButNotSubFolders) {
  ASSERT_FALSE(files_->CreateFolder(root_ + "/messages"));
  EXPECT_TRUE(files_->FolderExists(root_ + "/messages"));
  ASSERT_FALSE(files_->AppendLine(root_ + "/a.log", "a"));
  ASSERT_FALSE(files_->AppendLine(root_ + "/B.LOG", "b"));
  ASSERT_FALSE(files_->AppendLine(root_ + "/messages/inside.msg", "c"));
  EXPECT_EQ(Names(*files_, root_), (std::vector<std::string>{"B.LOG", "a.log"}));
  EXPECT_EQ(Names(*files_, root_ + "/"), (std::vector<std::string>{"B.LOG", "a.log"}));
  ASSERT_FALSE(files_->DeleteFile(root_ + "/a.log"));
  EXPECT_EQ(Names(*files_, root_), (std::vector<std::string>{"B.LOG"}));
}

TEST_P(FileSystemContractTest, WriteFileDurablyNeverReplacesAndLeavesNoTemporary) {
  ASSERT_FALSE(files_->WriteFileDurably(root_, "one.tmp", "one.msg", "first", kShared));
  EXPECT_EQ(ReadAll(*files_, root_ + "/one.msg"), "first");
  EXPECT_EQ(files_->WriteFileDurably(root_, "two.tmp", "one.msg", "second", kShared),
            std::errc::file_exists);
  EXPECT_EQ(ReadAll(*files_, root_ + "/one.msg"), "first");
  EXPECT_EQ(Names(*files_, root_), (std::vector<std::string>{"one.msg"}));
  // A temporary name in use belongs to someone else: refused, and that file stays.
  ASSERT_FALSE(files_->AppendLine(root_ + "/busy.tmp", "other"));
  EXPECT_EQ(files_->WriteFileDurably(root_, "busy.tmp", "three.msg", "x", kShared),
            std::errc::file_exists);
  EXPECT_EQ(ReadAll(*files_, root_ + "/busy.tmp"), "other\r\n");
  EXPECT_FALSE(files_->FileExists(root_ + "/three.msg"));
  // A rename that fails after the temporary was written takes the temporary away.
  EXPECT_EQ(files_->WriteFileDurably(root_, "four.tmp", "no/such/four.msg", "x", kShared),
            std::errc::no_such_file_or_directory);
  EXPECT_EQ(Names(*files_, root_), (std::vector<std::string>{"busy.tmp", "one.msg"}));
}

TEST_P(FileSystemContractTest, WriteFilesSyncedPlacesAllOrNone) {
  std::vector<FileWrite> mail = {{".m.env.tmp", "m.env", "447700900123\n"},
                                 {".m.tmp", "m.msg", "text"}};
  ASSERT_FALSE(files_->WriteFilesSynced(root_, mail, kShared));
  EXPECT_EQ(ReadAll(*files_, root_ + "/m.env"), "447700900123\n");
  EXPECT_EQ(ReadAll(*files_, root_ + "/m.msg"), "text");
  // The second name is taken: the first, already in place, is taken back, and nothing replaced.
  mail[0].final_name = "n.env";
  EXPECT_EQ(files_->WriteFilesSynced(root_, mail, kShared), std::errc::file_exists);
  EXPECT_EQ(ReadAll(*files_, root_ + "/m.msg"), "text");
  EXPECT_EQ(Names(*files_, root_), (std::vector<std::string>{"m.env", "m.msg"}));
  EXPECT_EQ(files_->WriteFilesSynced(root_ + "/missing", mail, kShared),
            std::errc::no_such_file_or_directory);
}

TEST_P(FileSystemContractTest, ReplaceFileDurablyReplacesAndReadFileIsBounded) {
  ASSERT_FALSE(files_->ReplaceFileDurably(root_, ".a.tmp", "a.done", "1:", kShared));
  ASSERT_FALSE(files_->ReplaceFileDurably(root_, ".a.tmp", "a.done", "1:2:", kShared));
  std::string contents;
  ASSERT_FALSE(files_->ReadFile(root_ + "/a.done", 16, &contents));
  EXPECT_EQ(contents, "1:2:");
  EXPECT_EQ(Names(*files_, root_), (std::vector<std::string>{"a.done"}));
  EXPECT_EQ(files_->ReadFile(root_ + "/a.done", 3, &contents), std::errc::file_too_large);
  EXPECT_EQ(files_->ReadFile(root_ + "/missing", 16, &contents),
            std::errc::no_such_file_or_directory);
}

TEST_P(FileSystemContractTest, RelativePathsFollowTheCurrentFolder) {
  ASSERT_FALSE(files_->CreateFolder(root_ + "/bin"));
  ASSERT_FALSE(files_->SetCurrentFolder(root_ + "/bin"));
  ASSERT_FALSE(files_->AppendLine("20261207.log", "here"));
  EXPECT_EQ(ReadAll(*files_, root_ + "/bin/20261207.log"), "here\r\n");
  ASSERT_FALSE(files_->CreateFolder("messages"));
  EXPECT_TRUE(files_->FolderExists(root_ + "/bin/messages"));
  ASSERT_FALSE(files_->SetCurrentFolder(root_ + "/bin/messages"));
  ASSERT_FALSE(files_->AppendLine("20261207.log", "there"));
  EXPECT_EQ(ReadAll(*files_, root_ + "/bin/messages/20261207.log"), "there\r\n");
  EXPECT_EQ(ReadAll(*files_, root_ + "/bin/20261207.log"), "here\r\n");
}

INSTANTIATE_TEST_SUITE_P(Both, FileSystemContractTest,
                         ::testing::Values(Implementation{"Posix", true},
                                           Implementation{"Fake", false}),
                         [](const auto& info) { return std::string(info.param.name); });

class PosixFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "mv_posix_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string root_;
  std::unique_ptr<FileSystem> files_ = NewPosixFileSystem();
};

TEST_F(PosixFileSystemTest, ListFilesSkipsLinksAndFoldersAndReportsTheModificationTime) {
  std::string file = root_ + "/old.log";
  ASSERT_FALSE(files_->AppendLine(file, "x"));
  struct timespec times[2] = {{1700000000, 0}, {1700000000, 500}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  ASSERT_EQ(::symlink(file.c_str(), (root_ + "/link.log").c_str()), 0);
  ASSERT_EQ(::mkdir((root_ + "/folder.log").c_str(), 0700), 0);
  ASSERT_EQ(::symlink("/nowhere", (root_ + "/dangling.log").c_str()), 0);
  std::vector<FileInfo> listed;
  ASSERT_FALSE(files_->ListFiles(root_, &listed));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, "old.log");
  auto expected = TimePoint(std::chrono::duration_cast<TimePoint::duration>(
      std::chrono::seconds(1700000000) + std::chrono::nanoseconds(500)));
  EXPECT_EQ(listed[0].modified, expected);
}

TEST_F(PosixFileSystemTest, ALogReplacedByARenameTakesTheNextLine) {
  std::string log = root_ + "/20261209.log";
  ASSERT_FALSE(files_->AppendLine(log, "first"));
  std::ofstream(root_ + "/fresh", std::ios::binary) << "fresh\r\n";
  ASSERT_EQ(::rename((root_ + "/fresh").c_str(), log.c_str()), 0);
  ASSERT_FALSE(files_->AppendLine(log, "second"));
  EXPECT_EQ(ReadAll(*files_, log), "fresh\r\nsecond\r\n");
}

TEST_F(PosixFileSystemTest, NewFilesAreNotWorldReadable) {
  mode_t old_mask = ::umask(0);
  std::string log = root_ + "/a.log";
  std::error_code appended = files_->AppendLine(log, "x");
  std::error_code written = files_->WriteFileDurably(root_, "b.tmp", "b.msg", "y", kShared);
  std::error_code secret =
      files_->WriteFileDurably(root_, "c.tmp", "c.secret", "z", FileReaders::kOwnerOnly);
  std::error_code store =
      files_->ReplaceFileDurably(root_, "d.tmp", "d.reg", "w", FileReaders::kOwnerOnly);
  ::umask(old_mask);
  ASSERT_FALSE(appended);
  ASSERT_FALSE(written);
  ASSERT_FALSE(secret);
  ASSERT_FALSE(store);
  for (auto [path, mode] : {std::pair{log, 0640u},
                            {root_ + "/b.msg", 0640u},
                            {root_ + "/c.secret", 0600u},
                            {root_ + "/d.reg", 0600u}}) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode) << path;
  }
}

TEST_F(PosixFileSystemTest, AReadOnlyFolderRefusesWrites) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write a read-only folder";
  ASSERT_FALSE(files_->CreateFolder(root_ + "/ro"));
  ASSERT_EQ(::chmod((root_ + "/ro").c_str(), 0500), 0);
  EXPECT_EQ(files_->WriteFileDurably(root_ + "/ro", "t.tmp", "f.msg", "x", kShared),
            std::errc::permission_denied);
  EXPECT_EQ(files_->AppendLine(root_ + "/ro/a.log", "x"), std::errc::permission_denied);
  ASSERT_EQ(::chmod((root_ + "/ro").c_str(), 0700), 0);
  EXPECT_TRUE(Names(*files_, root_ + "/ro").empty());
}

TEST_F(PosixFileSystemTest, ProgramFolderHoldsThisTestProgram) {
  std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '/');
  EXPECT_TRUE(files_->FileExists(folder + "/files_file_system_test"));
}

TEST(FakeFileSystemTest, InjectedFaultsHitTheNthCallOnly) {
  FakeClock clock;
  FakeFileSystem files(&clock);
  files.AddFolder("/logs");
  files.FailAppendLine(2, ENOSPC);
  EXPECT_FALSE(files.AppendLine("/logs/a.log", "one"));
  EXPECT_EQ(files.AppendLine("/logs/a.log", "two"), std::errc::no_space_on_device);
  EXPECT_FALSE(files.AppendLine("/logs/a.log", "three"));
  EXPECT_EQ(files.Contents("/logs/a.log"), "one\r\nthree\r\n");

  files.FailWriteFileDurably(1, EIO);
  EXPECT_EQ(files.WriteFileDurably("/logs", "t", "m.msg", "x", kShared), std::errc::io_error);
  EXPECT_FALSE(files.FileExists("/logs/m.msg"));
  EXPECT_FALSE(files.WriteFileDurably("/logs", "t", "m.msg", "x", kShared));
  files.FailWriteFileDurably(2, EIO);  // the second file of the next write
  EXPECT_EQ(files.WriteFilesSynced("/logs", {{"t1", "n.env", "1"}, {"t2", "n.msg", "2"}}, kShared),
            std::errc::io_error);
  EXPECT_FALSE(files.FileExists("/logs/n.env"));

  files.FailDeleteFile(1, EBUSY);
  EXPECT_EQ(files.DeleteFile("/logs/m.msg"), std::errc::device_or_resource_busy);
  EXPECT_TRUE(files.FileExists("/logs/m.msg"));

  files.SetFolderWritable("/logs", false);
  EXPECT_EQ(files.AppendLine("/logs/a.log", "four"), std::errc::permission_denied);
  EXPECT_EQ(files.DeleteFile("/logs/m.msg"), std::errc::permission_denied);
  EXPECT_EQ(files.CreateFolder("/logs/messages"), std::errc::permission_denied);
  EXPECT_EQ(files.append_calls(), 4);
}

TEST(FakeFileSystemTest, WrittenFilesTakeTheClockTimeAndSetTimesStick) {
  FakeClock clock({2026, 12, 7, 9, 7, 3});
  FakeFileSystem files(&clock);
  files.AddFile("/logs/old.log", "", FakeClock::At({2026, 11, 1, 0, 0, 0}));
  ASSERT_FALSE(files.AppendLine("/logs/new.log", "x"));
  std::vector<FileInfo> listed;
  ASSERT_FALSE(files.ListFiles("/logs", &listed));
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].name, "new.log");
  EXPECT_EQ(listed[0].modified, clock.Now());
  EXPECT_EQ(listed[1].modified, FakeClock::At({2026, 11, 1, 0, 0, 0}));
}

}  // namespace
}  // namespace mailvane
