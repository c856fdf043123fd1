#include "platform/files/spool_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/files/file_system.h"
#include "platform/files/testing/fake_file_system.h"
#include "platform/files/testing/fake_spool_writer.h"
#include "platform/loop/event_loop.h"

namespace mailvane {
namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  explicit TempFolder(const fs::path& base = fs::temp_directory_path()) {
    std::string pattern = (base / "spool_writer_test.XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, ignored);
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs the loop until `count` completions have arrived (or a guard timer gives up, which the
// caller's expectations then report).
struct Completions {
  explicit Completions(EventLoop& loop) : loop(loop) {}
  std::function<void(std::error_code)> Next(size_t expected) {
    return [this, expected](std::error_code result) {
      results.push_back(result);
      on_loop_thread = on_loop_thread && std::this_thread::get_id() == loop_thread;
      if (results.size() == expected) loop.Stop();
    };
  }
  void Wait() {
    auto guard = loop.NewTimer();
    guard->SetInterval(30000);
    guard->OnTick([this] { loop.Stop(); });
    guard->SetEnabled(true);
    loop.Run();
  }
  EventLoop& loop;
  std::vector<std::error_code> results;
  std::thread::id loop_thread = std::this_thread::get_id();
  bool on_loop_thread = true;
};

TEST(SpoolWriterTest, WritesExactContentDurablyAndReportsOnTheLoopThread) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  auto loop = NewEventLoop();
  auto files = NewPosixFileSystem();
  auto writer = NewThreadPoolSpoolWriter(*loop, *files, 2);
  std::string data(1024 * 1024 + 7, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 % 256);
  Completions completions(*loop);
  writer->Write(folder.path(), "m.tmp", "2009125973.1.msg", data, completions.Next(1));
  completions.Wait();
  ASSERT_EQ(completions.results.size(), 1u);
  EXPECT_FALSE(completions.results[0]) << completions.results[0].message();
  EXPECT_TRUE(completions.on_loop_thread);
  std::string final_path = folder.path() + "/2009125973.1.msg";
  EXPECT_EQ(ReadFile(final_path), data);
  EXPECT_FALSE(fs::exists(folder.path() + "/m.tmp"));
  struct stat info {};
  ASSERT_EQ(stat(final_path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0600, 0600u);  // owner reads and writes
  EXPECT_EQ(info.st_mode & 0137, 0u);     // group may only read; others nothing
}

TEST(SpoolWriterTest, FailuresLeaveNoTemporaryFileAndNothingReplaced) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  std::ofstream(folder.path() + "/taken.msg") << "first message";
  std::ofstream(folder.path() + "/busy.tmp") << "someone else's";
  auto loop = NewEventLoop();
  auto files = NewPosixFileSystem();
  auto writer = NewThreadPoolSpoolWriter(*loop, *files, 1);
  Completions completions(*loop);
  writer->Write(folder.path(), "a.tmp", "taken.msg", "second", completions.Next(3));
  writer->Write(folder.path() + "/missing", "b.tmp", "b.msg", "x", completions.Next(3));
  writer->Write(folder.path(), "busy.tmp", "c.msg", "y", completions.Next(3));
  completions.Wait();
  ASSERT_EQ(completions.results.size(), 3u);
  EXPECT_EQ(completions.results[0], std::errc::file_exists);
  EXPECT_EQ(completions.results[1], std::errc::no_such_file_or_directory);
  // Written unnamed, or refused where the file system needs the temporary name that is taken.
  if (completions.results[2]) {
    EXPECT_EQ(completions.results[2], std::errc::file_exists);
    EXPECT_FALSE(fs::exists(folder.path() + "/c.msg"));
  } else {
    EXPECT_EQ(ReadFile(folder.path() + "/c.msg"), "y");
  }
  EXPECT_EQ(ReadFile(folder.path() + "/taken.msg"), "first message");
  EXPECT_EQ(ReadFile(folder.path() + "/busy.tmp"), "someone else's");  // not ours to remove
  EXPECT_FALSE(fs::exists(folder.path() + "/a.tmp"));
}

TEST(SpoolWriterTest, ATakenNameGivesTheFilesBackUnwritten) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  std::ofstream(folder.path() + "/taken.msg") << "first message";
  std::ofstream(folder.path() + "/left.msg.done") << "1:";
  auto loop = NewEventLoop();
  auto files = NewPosixFileSystem();
  auto writer = NewThreadPoolSpoolWriter(*loop, *files, 2);
  std::vector<std::pair<std::error_code, std::vector<SpoolFile>>> results;
  auto collect = [&](std::error_code error, std::vector<SpoolFile> back) {
    results.emplace_back(error, std::move(back));
    if (results.size() == 3) loop->Stop();
  };
  auto mail = [](const std::string& name) {
    return std::vector<SpoolFile>{{"." + name + ".env.tmp", name + ".env", "447700900123\n"},
                                  {"." + name + ".tmp", name, "body"}};
  };
  writer->Write(folder.path(), mail("taken.msg"), {}, collect);  // found when linked
  writer->Write(folder.path(), mail("left.msg"), {"left.msg.done"}, collect);
  writer->Write(folder.path() + "/missing", mail("m.msg"), {}, collect);
  Completions(*loop).Wait();
  ASSERT_EQ(results.size(), 3u);
  const std::error_code kTaken(EEXIST, std::generic_category());
  std::map<std::string, std::error_code> given_back;  // by the spool name
  for (auto& [error, back] : results) {
    if (back.empty()) {
      EXPECT_EQ(error, std::errc::no_such_file_or_directory);  // nothing back after other failures
      continue;
    }
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].data, "447700900123\n");
    EXPECT_EQ(back[1].data, "body");
    given_back[back[1].final_name] = error;
  }
  EXPECT_EQ(given_back,
            (std::map<std::string, std::error_code>{{"left.msg", kTaken}, {"taken.msg", kTaken}}));
  EXPECT_EQ(ReadFile(folder.path() + "/taken.msg"), "first message");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"left.msg.done", "taken.msg"}));
}

TEST(SpoolWriterTest, UnwritableFolderFails) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  fs::permissions(folder.path(), fs::perms::owner_read | fs::perms::owner_exec);
  auto loop = NewEventLoop();
  auto files = NewPosixFileSystem();
  auto writer = NewThreadPoolSpoolWriter(*loop, *files, 1);
  Completions completions(*loop);
  writer->Write(folder.path(), "a.tmp", "a.msg", "x", completions.Next(1));
  completions.Wait();
  ASSERT_EQ(completions.results.size(), 1u);
  EXPECT_EQ(completions.results[0], std::errc::permission_denied);
}

// On a disk and, where there is one, on a memory file system, whose quick writes a thread that
// is awake takes up without another being woken: none is left behind either way.
class ManyWritesTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ManyWritesTest, ManyWritesCompleteOnceEach) {
  const fs::path base = *GetParam() ? fs::path(GetParam()) : fs::temp_directory_path();
  if (!fs::is_directory(base)) GTEST_SKIP() << base << " is not here";
  TempFolder folder(base);
  ASSERT_FALSE(folder.path().empty());
  auto loop = NewEventLoop();
  auto files = NewPosixFileSystem();
  auto writer = NewThreadPoolSpoolWriter(*loop, *files, 4);
  Completions completions(*loop);
  constexpr int kWrites = 200;
  // A burst, then each completion asks for one more, by when the threads may all be asleep.
  int issued = 0;
  std::function<void()> issue = [&] {
    const int i = issued++;
    auto next = completions.Next(kWrites);
    writer->Write(folder.path(), std::to_string(i) + ".tmp", std::to_string(i) + ".msg",
                  "message " + std::to_string(i), [&, next](std::error_code result) {
                    next(result);
                    if (issued < kWrites) issue();
                  });
  };
  while (issued < 8) issue();
  completions.Wait();
  ASSERT_EQ(completions.results.size(), static_cast<size_t>(kWrites));
  for (const std::error_code& result : completions.results) EXPECT_FALSE(result);
  EXPECT_TRUE(completions.on_loop_thread);
  for (int i = 0; i < kWrites; ++i) {
    EXPECT_EQ(ReadFile(folder.path() + "/" + std::to_string(i) + ".msg"),
              "message " + std::to_string(i));
  }
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(folder.path())) entries += entry.exists();
  EXPECT_EQ(entries, static_cast<size_t>(kWrites));
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, ManyWritesTest, ::testing::Values("", "/dev/shm"));

TEST(SpoolWriterTest, DestroyedWriterDeliversNoCompletion) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  auto loop = NewEventLoop();
  auto files = NewPosixFileSystem();
  int delivered = 0;
  {
    auto writer = NewThreadPoolSpoolWriter(*loop, *files, 2);
    for (int i = 0; i < 20; ++i) {
      writer->Write(folder.path(), std::to_string(i) + ".tmp", std::to_string(i) + ".msg",
                    std::string(4096, 'x'), [&delivered](std::error_code) { ++delivered; });
    }
  }
  loop->Poll();
  EXPECT_EQ(delivered, 0);
  // What was written is whole: no temporary file is left behind by a finished job.
  for (const auto& entry : fs::directory_iterator(folder.path())) {
    EXPECT_EQ(entry.path().extension(), ".msg") << entry.path();
    EXPECT_EQ(ReadFile(entry.path().string()), std::string(4096, 'x'));
  }
}

TEST(SpoolWriterTest, AFailedDurableWriteLeavesNoSpoolFile) {
  // However the durable write fails (here as a failed folder sync would: EIO after the rename),
  // the file system takes the name back and the writer reports the failure: no .msg is left for
  // a mail whose client is told to send it again.
  FakeFileSystem files;
  files.AddFolder("/spool");
  files.FailWriteFileDurably(2, EIO);
  auto loop = NewEventLoop();
  auto writer = NewThreadPoolSpoolWriter(*loop, files, 1);
  Completions completions(*loop);
  writer->Write("/spool", "1.tmp", "1.msg", "one", completions.Next(3));
  writer->Write("/spool", "2.tmp", "2.msg", "two", completions.Next(3));
  writer->Write("/spool", "3.tmp", "1.msg", "three", completions.Next(3));
  completions.Wait();
  ASSERT_EQ(completions.results.size(), 3u);
  EXPECT_FALSE(completions.results[0]);
  EXPECT_EQ(completions.results[1], std::errc::io_error);
  EXPECT_EQ(completions.results[2], std::errc::file_exists);
  EXPECT_EQ(files.FileNames("/spool"), std::vector<std::string>{"1.msg"});
  EXPECT_EQ(files.Contents("/spool/1.msg"), "one");
}

std::vector<SpoolFile> Mail(const std::string& name) {
  std::vector<SpoolFile> files;
  files.push_back({"." + name + ".env.tmp", name + ".env", "447700900123\n"});
  files.push_back({"." + name + ".tmp", name, "text of " + name});
  return files;
}

TEST(SpoolWriterTest, MailsDoneDuringAFolderSyncShareTheNextAndItsFailureFailsThemAll) {
  auto loop = NewEventLoop();
  FakeFileSystem files;
  files.AddFolder("/spool");
  std::promise<void> in_sync, release;
  std::shared_future<void> released = release.get_future().share();
  files.OnSyncFolder([&, first = true]() mutable {
    if (!first) return;
    first = false;
    in_sync.set_value();
    released.wait();
  });
  files.FailSyncFolder(2, EIO);
  auto writer = NewThreadPoolSpoolWriter(*loop, files, 1);
  Completions completions(*loop);
  writer->Write("/spool", Mail("1.msg"), completions.Next(4));
  in_sync.get_future().wait();  // the first mail's folder sync is under way
  for (const char* name : {"2.msg", "3.msg", "4.msg"})
    writer->Write("/spool", Mail(name), completions.Next(4));
  release.set_value();
  completions.Wait();
  ASSERT_EQ(completions.results.size(), 4u);
  EXPECT_FALSE(completions.results[0]);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(completions.results[i], std::errc::io_error) << i;
  EXPECT_EQ(files.sync_calls(), 2);  // one for the first mail, one for the three that waited
  EXPECT_EQ(files.FileNames("/spool"), (std::vector<std::string>{"1.msg", "1.msg.env"}));
}

TEST(SpoolWriterTest, AMailWhoseSecondFileFailsLeavesNeitherFile) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  std::ofstream(folder.path() + "/taken.msg") << "first message";
  auto loop = NewEventLoop();
  auto files = NewPosixFileSystem();
  auto writer = NewThreadPoolSpoolWriter(*loop, *files, 2);
  Completions completions(*loop);
  writer->Write(folder.path(), Mail("taken.msg"), completions.Next(2));
  writer->Write(folder.path(), Mail("new.msg"), completions.Next(2));
  completions.Wait();
  ASSERT_EQ(completions.results.size(), 2u);
  std::sort(completions.results.begin(), completions.results.end(),
            [](std::error_code a, std::error_code b) { return a.value() < b.value(); });
  EXPECT_FALSE(completions.results[0]);
  EXPECT_EQ(completions.results[1], std::errc::file_exists);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"new.msg", "new.msg.env", "taken.msg"}));
  EXPECT_EQ(ReadFile(folder.path() + "/taken.msg"), "first message");
}

TEST(FakeSpoolWriterTest, InjectedFaultsAndHeldCompletions) {
  FakeSpoolWriter writer;
  std::vector<std::error_code> results;
  auto record = [&results](std::error_code result) { results.push_back(result); };
  writer.FailWriteNumber(2);
  writer.Write("d", "1.tmp", "1.msg", "one", record);
  writer.Write("d", "2.tmp", "2.msg", "two", record);
  writer.Write("d", "3.tmp", "1.msg", "three", record);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_FALSE(results[0]);
  EXPECT_EQ(results[1], std::errc::io_error);
  EXPECT_EQ(results[2], std::errc::file_exists);
  EXPECT_EQ(writer.files(), (std::map<std::string, std::string>{{"d/1.msg", "one"}}));

  writer.HoldCompletions(true);
  writer.FailAllWrites();
  writer.Write("d", "4.tmp", "4.msg", "four", record);
  EXPECT_EQ(results.size(), 3u);
  EXPECT_EQ(writer.held_completions(), 1u);
  writer.ReleaseCompletions();
  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(results[3], std::errc::no_space_on_device);
}

}  // namespace
}  // namespace mailvane
