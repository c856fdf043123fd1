#include "common/spool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

namespace mailvane {
namespace {

using ::testing::ElementsAre;

TEST(SpoolNamesTest, FolderFileAndRecordNames) {
  EXPECT_EQ(SpoolFolder("/srv/mailvane/"), "/srv/mailvane/messages");
  EXPECT_EQ(SpoolFolderPrefix("/srv/mailvane/"), "/srv/mailvane/messages/");
  EXPECT_EQ(SpoolFolder(""), "messages");
  EXPECT_EQ(SpoolFileName({2009, 12, 5, 9, 7, 3}, 17), "2009125973.17.msg");
  EXPECT_EQ(SpoolFileName({2026, 11, 30, 23, 59, 0}, 1), "2026113023590.1.msg");
  EXPECT_EQ(ServedRecordName("a.msg"), "a.msg.done");
  EXPECT_EQ(EnvelopeRecordName("a.msg"), "a.msg.env");
  EXPECT_EQ(SpoolTempName("a.msg.env"), ".a.msg.env.tmp");
}

TEST(SpoolNamesTest, TheCounterIsReadBackFromEveryNameMadeAfterASpoolName) {
  const std::pair<const char*, long long> cases[] = {
      {"2009125973.17.msg", 17},
      {"2009125973.17.msg.done", 17},
      {".2009125973.17.msg.env.tmp", 17},
      {"2009125973.17.MSG", 17},
      {"2009125973.9223372036854775807.msg", std::numeric_limits<long long>::max()},
      {"2009125973.99999999999999999999.msg", std::numeric_limits<long long>::max()},
      {"17.msg", 0},
      {".17.msg", 17},
      {"2009125973..msg", 0},
      {"2009125973.1x.msg", 0},
      {".msg", 0},
      {"2009125973.17", 0},
      {".vanequeue.lock", 0},
  };
  for (const auto& [name, counter] : cases) EXPECT_EQ(SpoolCounterOf(name), counter) << name;
  EXPECT_EQ(SpoolCounterOf(SpoolFileName({2026, 11, 30, 23, 59, 0}, 123456)), 123456);
}

TEST(SpoolNamesTest, EachNameIsTakenForWhatItIs) {
  struct Case {
    const char* name;
    bool spool;
    const char* served_of;    // the spool file of a served-recipient record
    const char* envelope_of;  // the spool file of an envelope record
    bool server_temp;
    bool handler_temp;
  } cases[] = {
      {"1.msg", true, "", "", false, false},
      {"1.MSG", true, "", "", false, false},
      {"1.msgx", false, "", "", false, false},
      {"msg", false, "", "", false, false},
      {"1.msg.done", false, "1.msg", "", false, false},
      {"1.MSG.done", false, "1.MSG", "", false, false},
      {"notes.done", false, "", "", false, false},
      {".done", false, "", "", false, false},
      {"1.msg.env", false, "", "1.msg", false, false},
      {"1.msg.ENV", false, "", "", false, false},
      {"x.env", false, "", "", false, false},
      {".1.msg.tmp", false, "", "", true, false},
      {".1.msg.env.tmp", false, "", "", true, false},
      {".1.msg.done.tmp", false, "", "", false, true},
      {"1.msg.tmp", false, "", "", false, false},  // not hidden: not one of ours
      {".notes.tmp", false, "", "", false, false},
      {".vanequeue.lock", false, "", "", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSpoolFileName(c.name), c.spool) << c.name;
    EXPECT_EQ(SpoolNameOfServedRecord(c.name), c.served_of) << c.name;
    EXPECT_EQ(SpoolNameOfEnvelopeRecord(c.name), c.envelope_of) << c.name;
    EXPECT_EQ(IsServerTempName(c.name), c.server_temp) << c.name;
    EXPECT_EQ(IsHandlerTempName(c.name), c.handler_temp) << c.name;
  }
}

TEST(SpoolRecordsTest, EnvelopeAndServedRecordsReadBackWhatWasWritten) {
  std::vector<std::string> recipients{"+447700900123", "bob@example.com"};
  EXPECT_EQ(EnvelopeRecordText(recipients), "+447700900123\nbob@example.com\n");
  EXPECT_EQ(ParseEnvelopeRecord(EnvelopeRecordText(recipients)), recipients);
  EXPECT_THAT(ParseEnvelopeRecord("a\r\n\r\nb"), ElementsAre("a", "b"));
  EXPECT_TRUE(ParseEnvelopeRecord("").empty());
  EXPECT_EQ(ParseServedRecord("1:3:"), "1:3:");
  EXPECT_EQ(ParseServedRecord(""), "");
  EXPECT_EQ(ParseServedRecord("garbage"), std::nullopt);
}

}  // namespace
}  // namespace mailvane
