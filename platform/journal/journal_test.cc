#include "platform/journal/journal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

namespace mailvane {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

TimePoint At(int seconds) { return TimePoint(std::chrono::seconds(1'800'000'000 + seconds)); }

// Output of the sqlite3 command on the journal file: the real database's view of it.
std::string Sqlite3(const std::string& path, const std::string& sql) {
  std::string command = "sqlite3 '" + path + "' \"" + sql + "\" 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[512];
  while (pipe && fgets(buffer, sizeof buffer, pipe)) out += buffer;
  if (pipe) ::pclose(pipe);
  return out;
}

NewMessage Message(std::string name, int at, std::string sender, std::vector<std::string> to,
                   std::string subject = "Alert") {
  NewMessage m;
  m.spool_name = std::move(name);
  m.received = At(at);
  m.envelope_sender = std::move(sender);
  m.from = "Monitor <mon@example.com>";
  m.subject = std::move(subject);
  m.message_id = "<1@example.com>";
  m.size = 321;
  for (std::string& address : to) {
    m.recipients.push_back({std::move(address), RecipientKind::kSms, RecipientState::kQueued});
  }
  return m;
}

Try Attempt(std::string name, std::string address, int at, RecipientState state,
            std::string answer) {
  Try t;
  t.spool_name = std::move(name);
  t.address = std::move(address);
  t.time = At(at);
  t.state = state;
  t.answer = std::move(answer);
  return t;
}

Try Sent(std::string name, std::string address, int at, std::string text,
         std::vector<std::string> ids = {}, std::string provider = "smsc") {
  Try t = Attempt(std::move(name), address, at, RecipientState::kSent, "accepted");
  t.provider = std::move(provider);
  t.sent_number = "+" + address;
  t.provider_ids = std::move(ids);
  t.parts = 1;
  t.text = std::move(text);
  return t;
}

Receipt ReceiptFor(std::string id, std::string provider, int at, RecipientState state,
                   std::string text) {
  Receipt r;
  r.provider_id = std::move(id);
  r.provider = std::move(provider);
  r.time = At(at);
  r.state = state;
  r.text = std::move(text);
  return r;
}

// A query with the fields that `set` gives it.
template <typename Set>
MessageQuery Query(Set set) {
  MessageQuery q;
  set(q);
  return q;
}

std::vector<std::string> Names(const std::vector<JournalMessage>& messages) {
  std::vector<std::string> names;
  for (const JournalMessage& m : messages) names.push_back(m.spool_name);
  return names;
}

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "mv_journal_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/" + kJournalFileName;
    writer_ = OpenJournal(path_, JournalMode::kWrite);
    ASSERT_TRUE(writer_->ok()) << writer_->ErrorText();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(JournalBatch batch, WriteResult* result = nullptr) {
    WriteResult local;
    ASSERT_FALSE(writer_->Write(batch, result ? result : &local)) << writer_->ErrorText();
  }
  std::vector<std::string> Find(MessageQuery q) {
    MessagePage page;
    EXPECT_FALSE(writer_->FindMessages(q, &page)) << writer_->ErrorText();
    return Names(page.messages);
  }

  std::string dir_;
  std::string path_;
  std::unique_ptr<Journal> writer_;
};

TEST_F(JournalTest, PassRoundTripsAndReadersSeeCommittedBatches) {
  auto reader = OpenJournal(path_, JournalMode::kRead);
  ASSERT_TRUE(reader->ok()) << reader->ErrorText();

  JournalBatch scan;
  scan.Add(Message("a.msg", 0, "app@example.com", {"491701", "491702", "ops@example.org"}));
  Write(std::move(scan));
  JournalBatch pass;
  pass.Add(Sent("a.msg", "491701", 5, "Disk full on db1", {"A1", "A2"}));
  pass.Add(Attempt("a.msg", "491702", 6, RecipientState::kFailed, "throttled"));
  Try forward = Attempt("a.msg", "ops@example.org", 7, RecipientState::kForwarded, "250 ok");
  forward.kind = RecipientKind::kForward;
  pass.Add(forward);
  pass.Add(StateChange{"a.msg", "", At(8), RecipientState::kCancelled, "cancelled by admin"});
  pass.Add(MessageEnd{"a.msg", At(9)});
  pass.Add(Sent("gone.msg", "491701", 9, "x"));  // a message the journal never saw
  WriteResult result;
  Write(std::move(pass), &result);
  EXPECT_EQ(result.skipped, 1);

  JournalMessage m;
  ASSERT_FALSE(reader->Timeline("a.msg", &m)) << reader->ErrorText();
  EXPECT_EQ(m.envelope_sender, "app@example.com");
  EXPECT_EQ(m.received, At(0));
  EXPECT_EQ(m.state, MessageState::kEnded);
  EXPECT_EQ(m.ended, At(9));
  ASSERT_EQ(m.recipients.size(), 3u);
  const JournalRecipient& sms = m.recipients[0];
  EXPECT_EQ(sms.state, RecipientState::kSent);
  EXPECT_EQ(sms.sent_number, "+491701");
  EXPECT_EQ(sms.text, "Disk full on db1");
  EXPECT_EQ(sms.tries, 1);
  EXPECT_EQ(sms.last_try, At(5));
  EXPECT_THAT(sms.provider_ids, ElementsAre("A1", "A2"));
  // The failed recipient was still open, so the message-wide cancel reached it; the others not.
  EXPECT_EQ(m.recipients[1].state, RecipientState::kCancelled);
  EXPECT_EQ(m.recipients[1].answer, "throttled");
  EXPECT_EQ(m.recipients[2].kind, RecipientKind::kForward);
  EXPECT_EQ(m.recipients[2].state, RecipientState::kForwarded);
  std::vector<std::string> timeline;
  for (const JournalEvent& e : m.events) {
    timeline.push_back(e.kind + " " + e.address + " " + std::string(RecipientStateName(e.state)));
  }
  EXPECT_THAT(timeline, ElementsAre("try 491701 sent", "try 491702 failed",
                                    "try ops@example.org forwarded", "action 491702 cancelled"));

  // The reader cannot write; the file is a plain SQLite database in WAL mode for other tools.
  EXPECT_EQ(reader->Write(JournalBatch(), nullptr), JournalError::kNotWritable);
  EXPECT_FALSE(reader->ok());
  EXPECT_EQ(Sqlite3(path_, "PRAGMA journal_mode; SELECT count(*) FROM recipients;"), "wal\n3\n");
  EXPECT_EQ(reader->Timeline("gone.msg", &m), JournalError::kNotFound);
}

TEST_F(JournalTest, ReceiptsFindTheirRecipientByIdAsTextOrNumber) {
  struct Case {
    const char* stored;
    const char* received;
    bool same;
  };
  const Case cases[] = {
      {"1A2B", "6699", true},    // hex accepted, decimal in the receipt
      {"6699", "1a2b", true},    // and the other way round
      {"00ff", "FF", true},      // hex in both, case and leading zeros aside
      {"0042", "42", true},      // decimal in both
      {"10", "16", true},        // "10" read as hex is 16
      {"12", "13", false},       // numbers that differ in every reading
      {"msg-7", "msg-7", true},  // not numbers: the text alone
      {"msg-7", "MSG-7", false},
      {"FFFFFFFFFFFFFFFF", "18446744073709551615", true},              // the largest 64-bit id
      {"123456789012345678901234", "123456789012345678901234", true},  // beyond 64 bits
      {"123456789012345678901234", "123456789012345678901235", false},
  };
  JournalBatch tries, receipts;
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(SameProviderId(cases[i].stored, cases[i].received), cases[i].same)
        << cases[i].stored << " / " << cases[i].received;
    std::string name = "m" + std::to_string(i);
    std::string provider = "p" + std::to_string(i);  // keeps each case to its own recipient
    tries.Add(Message(name, static_cast<int>(i), "s@example.com", {"4917"}));
    tries.Add(Sent(name, "4917", 100, "hello", {cases[i].stored}, provider));
    receipts.Add(
        ReceiptFor(cases[i].received, provider, 200, RecipientState::kUndelivered, "stat:UNDELIV"));
  }
  Write(std::move(tries));
  WriteResult result;
  Write(std::move(receipts), &result);
  ASSERT_EQ(result.receipts.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(result.receipts[i].found, cases[i].same) << cases[i].stored;
    if (!cases[i].same) continue;
    EXPECT_EQ(result.receipts[i].spool_name, "m" + std::to_string(i));
    JournalMessage m;
    ASSERT_FALSE(writer_->Timeline("m" + std::to_string(i), &m));
    EXPECT_EQ(m.recipients[0].state, RecipientState::kUndelivered);
    EXPECT_EQ(m.recipients[0].receipt_time, At(200));
    EXPECT_EQ(m.events.back().text, "stat:UNDELIV");
  }

  // An exact text match wins over a numeric one: "16" is the id of m4 read as hex, but m_exact
  // was given "16" itself.
  JournalBatch exact;
  exact.Add(Message("m_exact", 50, "s@example.com", {"4918"}));
  exact.Add(Sent("m_exact", "4918", 100, "hi", {"16"}, "p4"));
  exact.Add(ReceiptFor("16", "p4", 300, RecipientState::kDelivered, "stat:DELIVRD"));
  Write(std::move(exact), &result);
  ASSERT_EQ(result.receipts.size(), 1u);
  EXPECT_EQ(result.receipts[0].spool_name, "m_exact");
}

TEST_F(JournalTest, SearchesFilterAndPageNewestFirst) {
  JournalBatch batch;
  std::vector<std::string> all;  // newest first
  for (int i = 0; i < 23; ++i) {
    std::string name = "n" + std::to_string(i);
    // Two messages share each second, so pages must break ties by more than the time.
    int at = i / 2;
    std::string number = i % 3 == 0 ? "4915550" : "49170" + std::to_string(i);
    batch.Add(Message(name, at, i % 2 ? "Odd@Example.com" : "even@example.com", {number},
                      i == 7 ? "Quarterly \"report\"" : "Alert"));
    if (i % 4 == 0) {
      batch.Add(Sent(name, number, at + 1, i == 12 ? "Backup ÄRGER on host7" : "cpu high"));
    }
    all.insert(all.begin(), name);
  }
  Write(std::move(batch));

  EXPECT_THAT(Find(Query([](MessageQuery& q) { q.number = "4915550"; })),
              ElementsAre("n21", "n18", "n15", "n12", "n9", "n6", "n3", "n0"));
  EXPECT_THAT(Find(Query([](MessageQuery& q) { q.number = "+4915550"; })),  // as sent
              ElementsAre("n12", "n0"));
  EXPECT_THAT(Find(Query([](MessageQuery& q) {
                q.sender = "odd@example.COM";
                q.since = At(9);
              })),
              ElementsAre("n21", "n19"));
  EXPECT_THAT(Find(Query([](MessageQuery& q) { q.text = "ärger ON"; })),  // SMS text, any case
              ElementsAre("n12"));
  EXPECT_THAT(Find(Query([](MessageQuery& q) { q.text = "\"report\""; })),  // subject
              ElementsAre("n7"));
  EXPECT_THAT(Find(Query([](MessageQuery& q) {  // the From header
                q.text = "mon@exa";
                q.limit = 2;
              })),
              ElementsAre("n22", "n21"));
  EXPECT_THAT(Find(Query([](MessageQuery& q) { q.text = "t7"; })),  // too short for the index
              ElementsAre("n12"));
  EXPECT_THAT(Find(Query([](MessageQuery& q) {
                q.state = RecipientState::kSent;
                q.before = At(6);
              })),
              ElementsAre("n8", "n4", "n0"));
  EXPECT_THAT(Find(Query([](MessageQuery& q) {
                q.number = "4915550";
                q.state = RecipientState::kQueued;
                q.since = At(3);
                q.before = At(10);
              })),
              ElementsAre("n18", "n15", "n9", "n6"));

  std::vector<std::string> paged;
  MessageQuery q;
  q.limit = 5;
  for (int pages = 0; pages < 10; ++pages) {
    MessagePage page;
    ASSERT_FALSE(writer_->FindMessages(q, &page));
    for (const JournalMessage& m : page.messages) paged.push_back(m.spool_name);
    if (page.next_cursor.empty()) break;
    q.after = page.next_cursor;
  }
  EXPECT_THAT(paged, ElementsAreArray(all));

  MessagePage page;
  for (const char* bad : {"x", "12", "1.2.3", "-1.4", ".5"}) {
    EXPECT_EQ(writer_->FindMessages(Query([&](MessageQuery& q) { q.after = bad; }), &page),
              JournalError::kBadRequest)
        << bad;
  }
  EXPECT_EQ(writer_->FindMessages(Query([](MessageQuery& q) { q.limit = kMaxPage + 1; }), &page),
            JournalError::kBadRequest);

  std::vector<JournalMessage> log;
  ASSERT_FALSE(writer_->NumberLog("+4915550", 10, &log));
  EXPECT_THAT(Names(log), ElementsAre("n12", "n0"));
  EXPECT_EQ(log[0].recipients.at(0).text, "Backup ÄRGER on host7");
}

// Every search walks its own index in the order of receipt, whatever the order of recording.
TEST_F(JournalTest, EverySearchPagesByReceiptNotByRecording) {
  JournalBatch batch;
  for (auto [name, at] : {std::pair{"b", 10}, {"late", 5}, {"c", 10}, {"d", 11}}) {
    batch.Add(Message(name, at, "app@example.com", {"4911", "4912"}, "Alert"));
    batch.Add(Sent(name, "4911", 20, "disk full"));
    batch.Add(Sent(name, "4912", 20, "disk full"));
  }
  batch.Add(Message("other", 12, "x@example.com", {"4913"}, "Other"));
  Write(std::move(batch));
  const std::function<void(MessageQuery&)> filters[] = {
      [](MessageQuery&) {},
      [](MessageQuery& q) { q.number = "4911"; },
      [](MessageQuery& q) { q.number = "+4912"; },
      [](MessageQuery& q) { q.sender = "APP@example.com"; },
      [](MessageQuery& q) { q.text = "disk"; },
      [](MessageQuery& q) { q.text = "k "; },
      [](MessageQuery& q) { q.state = RecipientState::kSent; },
      [](MessageQuery& q) {
        q.number = "4912";
        q.text = "full";
        q.state = RecipientState::kSent;
        q.sender = "app@example.com";
      },
  };
  for (size_t i = 0; i < std::size(filters); ++i) {
    MessageQuery q = Query(filters[i]);
    q.before = At(12);
    q.limit = 1;
    std::vector<std::string> paged;
    for (int pages = 0; pages < 6; ++pages) {
      MessagePage page;
      ASSERT_FALSE(writer_->FindMessages(q, &page)) << writer_->ErrorText();
      for (const JournalMessage& m : page.messages) paged.push_back(m.spool_name);
      if (page.next_cursor.empty()) break;
      q.after = page.next_cursor;
    }
    EXPECT_THAT(paged, ElementsAre("d", "c", "b", "late")) << "filter " << i;
  }
}

TEST_F(JournalTest, ReconcileEndsVanishedMessagesAndRetentionRemovesOldOnes) {
  JournalBatch batch;
  batch.Add(Message("kept.msg", 0, "a@example.com", {"4911"}));
  batch.Add(Message("vanished.msg", 10, "a@example.com", {"4912"}));
  batch.Add(Message("done.msg", 20, "a@example.com", {"4913"}));
  batch.Add(Sent("done.msg", "4913", 21, "old news", {"77"}));
  batch.Add(MessageEnd{"done.msg", At(22)});
  batch.Add(Message("recent.msg", 5000, "a@example.com", {"4914"}));
  batch.Add(Sent("recent.msg", "4914", 5001, "fresh nws", {"78"}));
  batch.Add(Sent("recent.msg", "4915", 5001, "an added one"));
  batch.Add(Sent("recent.msg", "4914", 5001, "fresh news", {"78"}));  // a new text
  batch.Add(MessageEnd{"recent.msg", At(5002)});
  Write(std::move(batch));

  int ended = 0;
  ASSERT_FALSE(writer_->Reconcile({"kept.msg", "other.msg"}, At(100), &ended));
  EXPECT_EQ(ended, 1);
  JournalMessage m;
  ASSERT_FALSE(writer_->Timeline("vanished.msg", &m));
  EXPECT_EQ(m.state, MessageState::kUnknownEnd);
  EXPECT_EQ(MessageStateText(m.state), "ended, outcome unknown (handler restarted)");
  EXPECT_EQ(m.ended, At(100));
  std::vector<JournalMessage> waiting;
  ASSERT_FALSE(writer_->Waiting(10, &waiting));
  EXPECT_THAT(Names(waiting), ElementsAre("kept.msg"));

  // Old and ended goes; a waiting message stays whatever its age.
  int removed = 0;
  ASSERT_FALSE(writer_->RemoveOlderThan(At(1000), &removed));
  EXPECT_EQ(removed, 2);
  EXPECT_THAT(Find(MessageQuery()), ElementsAre("recent.msg", "kept.msg"));
  EXPECT_THAT(Find(Query([](MessageQuery& q) { q.text = "news"; })), ElementsAre("recent.msg"));
  EXPECT_EQ(writer_->Timeline("done.msg", &m), JournalError::kNotFound);
  EXPECT_EQ(Sqlite3(path_, "SELECT count(*) FROM provider_ids; SELECT count(*) FROM events;"),
            "1\n3\n");
  // The text index still agrees with the texts after the tries and the removal.
  EXPECT_EQ(Sqlite3(path_,
                    "INSERT INTO message_words(message_words, rank) VALUES('integrity-check', 1);"),
            "");
}

TEST_F(JournalTest, UnusableFileIsReportedAndReopenRecovers) {
  // A damaged file.
  writer_.reset();
  std::filesystem::remove(path_ + "-wal");
  std::filesystem::remove(path_ + "-shm");
  std::ofstream(path_, std::ios::trunc) << std::string(8192, 'x');
  auto journal = OpenJournal(path_, JournalMode::kWrite);
  EXPECT_FALSE(journal->ok());
  EXPECT_EQ(journal->error(), JournalError::kCorrupt);
  EXPECT_FALSE(journal->ErrorText().empty());
  JournalBatch batch;
  batch.Add(Message("a.msg", 0, "a@example.com", {"4911"}));
  EXPECT_EQ(journal->Write(batch, nullptr), JournalError::kCorrupt);
  EXPECT_EQ(OpenJournal(path_, JournalMode::kRead)->error(), JournalError::kCorrupt);
  std::filesystem::remove(path_);
  EXPECT_FALSE(journal->Reopen());
  EXPECT_TRUE(journal->ok());
  EXPECT_FALSE(journal->Write(batch, nullptr));

  // A file of a newer program's schema.
  EXPECT_EQ(Sqlite3(path_, "PRAGMA user_version = 99;"), "");
  EXPECT_EQ(journal->Reopen(), JournalError::kVersion);
  EXPECT_EQ(OpenJournal(path_, JournalMode::kRead)->error(), JournalError::kVersion);

  // A folder that cannot hold the file yet; nothing to read there either.
  const std::string later = dir_ + "/later/" + kJournalFileName;
  auto waiting = OpenJournal(later, JournalMode::kWrite);
  EXPECT_EQ(waiting->error(), JournalError::kUnavailable);
  EXPECT_EQ(waiting->Write(batch, nullptr), JournalError::kUnavailable);
  MessagePage page;
  EXPECT_EQ(waiting->FindMessages(MessageQuery(), &page), JournalError::kUnavailable);
  std::filesystem::create_directory(dir_ + "/later");
  EXPECT_EQ(OpenJournal(later, JournalMode::kRead)->error(), JournalError::kUnavailable);
  EXPECT_FALSE(waiting->Reopen());
  EXPECT_FALSE(waiting->Write(batch, nullptr));
  EXPECT_TRUE(OpenJournal(later, JournalMode::kRead)->ok());
}

}  // namespace
}  // namespace mailvane
