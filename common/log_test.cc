#include "common/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "common/error.h"
#include "common/text.h"
#include "platform/files/testing/fake_file_system.h"
#include "platform/loop/testing/fake_clock.h"

namespace mailvane {
namespace {

TEST(LogTextTest, PadTwoAndTheTimeStamps) {
  EXPECT_EQ(PadTwo(7), "07");
  EXPECT_EQ(PadTwo(0), "00");
  EXPECT_EQ(PadTwo(12), "12");
  EXPECT_EQ(PadTwo(2026), "2026");
  EXPECT_EQ(PadTwo(-1), "-1");
  EXPECT_EQ(PadTwo(std::string("")), "0");
  EXPECT_EQ(PadTwo(std::string("x")), "0x");
  EXPECT_EQ(PadTwo(std::string("\xC3\xA9")), "0\xC3\xA9");  // one character in two bytes
  EXPECT_EQ(PadTwo(std::string("ab")), "ab");

  LocalDateTime t{2026, 12, 7, 9, 7, 3};
  EXPECT_EQ(FormatLogTimestamp(t), "07 12 26 09:07:03");
  EXPECT_EQ(FormatGeneralDate(t), "07/12/2026 09:07:03");
  LocalDateTime late{2009, 1, 31, 23, 59, 59};
  EXPECT_EQ(FormatLogTimestamp(late), "31 01 09 23:59:59");
  EXPECT_EQ(FormatGeneralDate(late), "31/01/2009 23:59:59");
}

class WriteLogTest : public ::testing::Test {
 protected:
  FakeClock clock_{{2026, 12, 7, 23, 59, 59}};
  FakeFileSystem files_{&clock_};
};

TEST_F(WriteLogTest, TheFirstLineAfterMidnightStartsTheNewDaysFile) {
  files_.AddFolder("/srv/mailvane");
  EXPECT_EQ(LogFilePath("/srv/mailvane/", clock_), "/srv/mailvane/20261207.log");
  WriteLog(files_, clock_, "/srv/mailvane/", "before", 1);
  clock_.Advance(std::chrono::seconds(1));
  WriteLog(files_, clock_, "/srv/mailvane/", "after", 1);
  EXPECT_EQ(files_.Contents("/srv/mailvane/20261207.log"), "07 12 26 23:59:59 before\r\n");
  EXPECT_EQ(files_.Contents("/srv/mailvane/20261208.log"), "08 12 26 00:00:00 after\r\n");
  clock_.Set({2027, 1, 1, 0, 0, 0});
  EXPECT_EQ(LogFilePath("/srv/mailvane/", clock_), "/srv/mailvane/20270101.log");
}

TEST_F(WriteLogTest, OnlyFlagOneWritesAndAnEmptyFolderMeansTheCurrentOne) {
  files_.AddFolder("/opt/bin");
  ASSERT_FALSE(files_.SetCurrentFolder("/opt/bin"));
  WriteLog(files_, clock_, "", "skipped", 0);
  WriteLog(files_, clock_, "", "skipped", 2);
  EXPECT_EQ(files_.append_calls(), 0);
  WriteLog(files_, clock_, "", "+++Received from 127.0.0.1", 1);
  EXPECT_EQ(files_.Contents("/opt/bin/20261207.log"),
            "07 12 26 23:59:59 +++Received from 127.0.0.1\r\n");
}

TEST_F(WriteLogTest, AFailedAppendRaisesTheFileErrorNamingTheFile) {
  try {
    WriteLog(files_, clock_, "/missing/", "x", 1);
    FAIL() << "no error";
  } catch (const MailvaneError& e) {
    EXPECT_EQ(e.number(), kErrFileNotFound);
    EXPECT_NE(e.description().find("/missing/20261207.log"), std::string::npos);
  }
  files_.AddFolder("/logs");
  files_.FailAppendLine(1, ENOSPC);
  try {
    WriteLog(files_, clock_, "/logs/", "x", 1);
    FAIL() << "no error";
  } catch (const MailvaneError& e) {
    EXPECT_EQ(e.number(), kErrDiskFull);
  }
  EXPECT_FALSE(files_.FileExists("/logs/20261207.log"));  // nothing is retried
}

// The server and the handler append to one day's file from two processes; every line must
// arrive whole. Each process writes a bounded number of lines, then the file is checked.
TEST(WriteLogConcurrencyTest, TwoProcessesAppendingGiveOnlyWholeLines) {
  std::string pattern = ::testing::TempDir() + "mv_log_XXXXXX";
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  std::string log_dir = pattern + "/";
  constexpr int kLines = 2000;
  const std::string server_text(150, 's');
  const std::string handler_text = "{7} " + std::string(300, 'h');

  FakeClock clock;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto files = NewPosixFileSystem();
    int status = 0;
    try {
      for (int i = 0; i < kLines; ++i) WriteLog(*files, clock, log_dir, handler_text, 1);
    } catch (...) {
      status = 1;
    }
    ::_exit(status);
  }
  auto files = NewPosixFileSystem();
  for (int i = 0; i < kLines; ++i) WriteLog(*files, clock, log_dir, server_text, 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::ifstream in(LogFilePath(log_dir, clock), std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove_all(pattern);
  const std::string stamp = FormatLogTimestamp(clock.LocalNow()) + " ";
  std::map<std::string, int> counts;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find("\r\n", start);
    ASSERT_NE(end, std::string::npos) << "an unterminated last line";
    counts[content.substr(start, end - start)]++;
    start = end + 2;
  }
  EXPECT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[stamp + server_text], kLines);
  EXPECT_EQ(counts[stamp + handler_text], kLines);
}

class PurgeOldLogsTest : public ::testing::Test {
 protected:
  void SetUp() override { files_.AddFolder("/logs/messages"); }

  void AddLog(const std::string& name, LocalDateTime modified) {
    files_.AddFile("/logs/" + name, "x\r\n", FakeClock::At(modified));
  }
  // One call that sweeps: the counter stands just before the sweep.
  void Sweep(const std::string& log_days) {
    int counter = 359;
    PurgeOldLogs(files_, clock_, "/logs/", log_days, &counter);
    EXPECT_EQ(counter, 0);
  }

  FakeClock clock_{{2026, 12, 31, 0, 0, 1}};
  FakeFileSystem files_{&clock_};
};

TEST_F(PurgeOldLogsTest, TheFirstSweepComesOnThe359thCallAfterALoadThenEvery360th) {
  AddLog("old.log", {2026, 1, 1, 0, 0, 0});
  int counter = 1;  // as LoadSettings leaves it
  for (int call = 1; call < 359; ++call) PurgeOldLogs(files_, clock_, "/logs/", "30", &counter);
  EXPECT_TRUE(files_.FileExists("/logs/old.log"));
  PurgeOldLogs(files_, clock_, "/logs/", "30", &counter);
  EXPECT_FALSE(files_.FileExists("/logs/old.log"));
  AddLog("old.log", {2026, 1, 1, 0, 0, 0});
  for (int call = 1; call < 360; ++call) PurgeOldLogs(files_, clock_, "/logs/", "30", &counter);
  EXPECT_TRUE(files_.FileExists("/logs/old.log"));
  PurgeOldLogs(files_, clock_, "/logs/", "30", &counter);
  EXPECT_FALSE(files_.FileExists("/logs/old.log"));
}

TEST_F(PurgeOldLogsTest, CalendarDaysAndEndingsDecide) {
  struct Case {
    const char* name;
    LocalDateTime modified;
    bool deleted;
  };
  // Now is 31 December 2026, one second after midnight.
  const Case cases[] = {
      {"30days.log", {2026, 12, 1, 23, 59, 59}, true},  // 30 calendar days, late in the day
      {"29days.log", {2026, 12, 2, 0, 0, 0}, false},    // 29 days, however many hours
      {"today.log", {2026, 12, 31, 0, 0, 0}, false},
      {"upper.LOG", {2026, 11, 1, 0, 0, 0}, true},
      {"mixed.Log", {2026, 11, 1, 0, 0, 0}, true},
      {"future30.log", {2027, 1, 30, 0, 0, 0}, true},  // 30 days ahead
      {"future29.log", {2027, 1, 29, 23, 0, 0}, false},
      {"lastyear.log", {2025, 12, 31, 12, 0, 0}, true},
      {"spool.msg", {2020, 1, 1, 0, 0, 0}, false},
      {"old.log.bak", {2020, 1, 1, 0, 0, 0}, false},
      {"old.logs", {2020, 1, 1, 0, 0, 0}, false},
      {"log", {2020, 1, 1, 0, 0, 0}, false},
      {".log", {2020, 1, 1, 0, 0, 0}, true},
  };
  for (const Case& c : cases) AddLog(c.name, c.modified);
  files_.AddFile("/logs/messages/inside.log", "", FakeClock::At({2020, 1, 1, 0, 0, 0}));
  Sweep("30");
  for (const Case& c : cases) {
    EXPECT_EQ(files_.FileExists(std::string("/logs/") + c.name), !c.deleted) << c.name;
  }
  EXPECT_TRUE(files_.FileExists("/logs/messages/inside.log"));  // sub-folders are not visited
}

TEST_F(PurgeOldLogsTest, LogDaysThatIsNoWholeNumberDeletesNothing) {
  AddLog("ancient.log", {2000, 1, 1, 0, 0, 0});
  for (const char* log_days : {"", "x", "30.5", "3 0", "99999999999"}) {
    Sweep(log_days);
    EXPECT_TRUE(files_.FileExists("/logs/ancient.log")) << '"' << log_days << '"';
  }
  Sweep(" 30 ");
  EXPECT_FALSE(files_.FileExists("/logs/ancient.log"));
}

TEST_F(PurgeOldLogsTest, TheSweepStopsAtTheFirstError) {
  AddLog("a.log", {2026, 1, 1, 0, 0, 0});
  AddLog("b.log", {2026, 1, 1, 0, 0, 0});
  files_.FailDeleteFile(1, EACCES);
  try {
    Sweep("30");
    ADD_FAILURE() << "no error";
  } catch (const MailvaneError& e) {
    EXPECT_EQ(e.number(), kErrPermissionDenied);
    EXPECT_NE(e.description().find("/logs/a.log"), std::string::npos);
  }
  EXPECT_EQ(files_.delete_calls(), 1);
  EXPECT_TRUE(files_.FileExists("/logs/b.log"));
  Sweep("30");  // the next sweep takes both
  EXPECT_EQ(files_.FileNames("/logs"), std::vector<std::string>{});

  int counter = 359;
  EXPECT_THROW(PurgeOldLogs(files_, clock_, "/nowhere/", "30", &counter), MailvaneError);
}

TEST(EnsureSpoolFolderTest, CreatesTheFolderOnceAndIgnoresEveryError) {
  FakeFileSystem files;
  files.AddFolder("/srv/mailvane");
  EnsureSpoolFolder(files, "/srv/mailvane/");
  EXPECT_TRUE(files.FolderExists("/srv/mailvane/messages"));
  files.AddFile("/srv/mailvane/messages/1.msg", "kept");
  EnsureSpoolFolder(files, "/srv/mailvane/");
  EXPECT_EQ(files.Contents("/srv/mailvane/messages/1.msg"), "kept");

  EnsureSpoolFolder(files, "/missing/");  // LogDir itself is not created
  EXPECT_FALSE(files.FolderExists("/missing"));
  files.AddFolder("/locked");
  files.SetFolderWritable("/locked", false);
  EnsureSpoolFolder(files, "/locked/");
  EXPECT_FALSE(files.FolderExists("/locked/messages"));
}

}  // namespace
}  // namespace mailvane
