#include "handler/vanequeue_cls.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "common/recipients.h"
#include "common/scramble.h"
#include "handler/queue.h"
#include "platform/files/testing/fake_file_lock.h"
#include "platform/files/testing/fake_file_system.h"
#include "platform/journal/journal.h"
#include "platform/loop/testing/fake_clock.h"
#include "platform/loop/testing/fake_timer.h"
#include "platform/mail/mail_result.h"
#include "platform/mail/testing/fake_mail.h"
#include "platform/registry/testing/fake_registry.h"
#include "platform/sms/testing/fake_sms_renderer.h"

namespace mailvane {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr char kLogDir[] = "/srv/mv/";
constexpr char kSpool[] = "/srv/mv/messages/";
constexpr char kKey[] = "SOFTWARE\\Mailvane";

class HandlerTest : public ::testing::Test {
 protected:
  HandlerTest() : files_(&clock_) {
    files_.AddFolder("/srv");
    files_.AddFolder("/srv/mv");
    files_.AddFolder("/srv/mv/messages");
    files_.AddFolder("/opt/mailvane");
    Set("MailServer", "127.0.0.1:2525");
    Set("LogDir", "/srv/mv");
    Set("ErrorMailAddress", "admin@example.com");
    Set("ErrorMailName", "Admin");
    Set("MailFromAddress", "gateway@example.com");
    Set("AccessUserName", "acct");
    Set("AccessPassword", ScramblePassword("secret"));
    Set("MessageExpiry", "60");
    Set("MaxLength", "160");
    Set("ForwardOK", "1");
    Set("StripCRLF", "1");
  }

  void Set(const std::string& name, const std::string& value) {
    registry_.SetStringValue(kKey, name, value);
  }

  VanequeueCls& Handler() {
    if (!handler_) {
      handler_ = std::make_unique<VanequeueCls>(HandlerEnvironment{
          registry_, files_, clock_, mail_, sms_, timer1_, timer2_, lock_, "/opt/mailvane",
          [this] { ++end_calls_; }, [this](const std::string& f) { log_failures_.push_back(f); },
          [this](std::function<void()> run) { posted_.push_back(std::move(run)); },
          [this](const std::vector<Variant>& counts) { counts_ = counts; }, "smpp h:1",
          open_journal_});
    }
    return *handler_;
  }

  // A spool file that loads as a message with these recipients.
  std::string Spool(const std::string& name, std::vector<MailRecipient> recipients,
                    std::string body = "Hello there", std::string from = "Alice") {
    std::string path = kSpool + name;
    files_.AddFile(path, "raw message\r\n", clock_.Now());
    mail_.SetMessage(path,
                     {"Subject line", body, from, "alice@example.com", std::move(recipients)});
    return path;
  }

  // The texts of the handler's log lines of the day, without their time stamps.
  std::vector<std::string> LogTexts() const {
    std::vector<std::string> texts;
    std::optional<std::string> contents = files_.Contents(std::string(kLogDir) + "20261207.log");
    if (!contents) return texts;
    std::istringstream in(*contents);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      texts.push_back(line.size() > 18 ? line.substr(18) : "");
    }
    return texts;
  }

  size_t CountLog(const std::string& start) const {
    size_t n = 0;
    for (const std::string& text : LogTexts()) n += text.rfind(start, 0) == 0;
    return n;
  }

  std::vector<std::string> SmsNumbers() const {
    std::vector<std::string> numbers;
    for (const RenderedSms& sms : sms_.renderers()) {
      for (const auto& recipient : sms.recipients) numbers.push_back(recipient.first);
    }
    return numbers;
  }

  std::vector<const SentMail*> ErrorMails() const {
    std::vector<const SentMail*> mails;
    for (const SentMail& mail : mail_.sent()) {
      if (!mail.recipients.empty() && mail.recipients[0].address == "admin@example.com") {
        mails.push_back(&mail);
      }
    }
    return mails;
  }

  // Runs what the handler posted to the loop, as the loop would; returns how many ran.
  size_t RunPosted() {
    std::vector<std::function<void()>> runs;
    runs.swap(posted_);
    for (auto& run : runs) run();
    return runs.size();
  }

  // One processing tick as the timers deliver it.
  void ProcessTick() { ASSERT_TRUE(timer1_.Fire()); }

  FakeClock clock_;
  FakeRegistry registry_;
  FakeFileSystem files_;
  FakeMailFactory mail_;
  FakeSmsRendererFactory sms_;
  FakeTimer timer1_;
  FakeTimer timer2_;
  FakeFileLock lock_;
  int end_calls_ = 0;
  std::vector<std::string> log_failures_;
  std::vector<std::function<void()>> posted_;
  std::vector<Variant> counts_;  // the last report
  std::function<std::unique_ptr<Journal>(const std::string&)> open_journal_;
  std::unique_ptr<VanequeueCls> handler_;
};

TEST_F(HandlerTest, InitialisationLoadsTheHandlersRecordAndLeavesTimersOff) {
  VanequeueCls& handler = Handler();
  EXPECT_EQ(handler.config().LogDir, kLogDir);
  EXPECT_EQ(handler.config().AccessPassword, "secret");
  EXPECT_EQ(handler.HandlerId(), "");
  EXPECT_FALSE(timer1_.Enabled());
  EXPECT_FALSE(timer2_.Enabled());
  EXPECT_EQ(timer1_.Interval(), 5000);
  EXPECT_EQ(timer2_.Interval(), 2500);
  EXPECT_TRUE(ErrorMails().empty());
}

TEST_F(HandlerTest, ABadStoredPasswordMailsTheInitialiseErrorWithAnEmptyId) {
  Set("AccessPassword", "ABC");  // odd length: not a stored password
  VanequeueCls& handler = Handler();
  ASSERT_EQ(ErrorMails().size(), 1u);
  EXPECT_EQ(ErrorMails()[0]->subject, "Vanequeue  Initialise Error");
  EXPECT_EQ(ErrorMails()[0]->body, "Vanequeue  initialise error...aborting...");
  EXPECT_EQ(ErrorMails()[0]->from, "Mailvane");
  EXPECT_EQ(ErrorMails()[0]->from_addr, "gateway@example.com");
  // Fields after the failing one stay empty; the object exists all the same.
  EXPECT_EQ(handler.config().MaxLength, "");
  EXPECT_EQ(handler.config().MessageExpiry, "60");
}

TEST_F(HandlerTest, NothingIsScannedBeforeAllocateIdWhichQueuesAtOnceAndStartsBothTimers) {
  Spool("2026127970.1.msg", {{"447700900123", ""}});
  Spool("2026127970.2.MSG", {{"447700900124", ""}});
  files_.AddFile(std::string(kSpool) + "notes.msgx", "x", clock_.Now());
  files_.AddFile(std::string(kSpool) + ".2026127970.3.msg.tmp", "half", clock_.Now());
  VanequeueCls& handler = Handler();
  EXPECT_FALSE(timer1_.Fire());
  EXPECT_EQ(handler.queue().QueueCount(), 0);

  handler.AllocateId(Variant{int64_t{1}});
  EXPECT_EQ(handler.HandlerId(), "1");
  EXPECT_EQ(handler.queue().QueueCount(), 2);
  EXPECT_TRUE(timer1_.Enabled());
  EXPECT_TRUE(timer2_.Enabled());
}

TEST_F(HandlerTest, LogLinesCarryTheIdPrefix) {
  Handler().AllocateId(Variant{int64_t{7}});
  Handler().WriteHandlerLog("hello");
  EXPECT_THAT(LogTexts(), ElementsAre("{7} hello"));
}

TEST_F(HandlerTest, TimerGuardKeepsThePassesApart) {
  VanequeueCls& handler = Handler();
  handler.AllocateId(Variant{int64_t{1}});
  Spool("a.msg", {{"447700900123", ""}});
  timer2_.SetEnabled(false);  // a scan is under way
  timer1_.Fire();
  EXPECT_TRUE(sms_.renderers().empty());
  EXPECT_TRUE(timer1_.Enabled());
  timer2_.SetEnabled(true);
  timer1_.SetEnabled(false);  // a processing pass is under way
  timer2_.Fire();
  EXPECT_EQ(handler.queue().QueueCount(), 0);
  timer1_.SetEnabled(true);
  timer2_.Fire();
  EXPECT_EQ(handler.queue().QueueCount(), 1);
  // Each pass switches its own timer off and on again: a fresh interval after the pass.
  EXPECT_EQ(timer2_.starts(), 3);
}

TEST_F(HandlerTest, WakesThatComeTogetherGiveOneScanAndPassAndLeaveTheTimersAlone) {
  Handler().Wake();  // before AllocateId: nothing
  EXPECT_EQ(RunPosted(), 0u);
  Handler().AllocateId(Variant{int64_t{1}});
  const int starts1 = timer1_.starts(), starts2 = timer2_.starts();
  Spool("a.msg", {{"111", ""}});
  Spool("b.msg", {{"222", ""}});
  for (int i = 0; i < 3; ++i) Handler().Wake();
  EXPECT_TRUE(sms_.renderers().empty());  // on the loop, not inside the wake
  EXPECT_EQ(RunPosted(), 1u);
  EXPECT_THAT(SmsNumbers(), ::testing::UnorderedElementsAre("111", "222"));
  EXPECT_TRUE(timer1_.Enabled() && timer2_.Enabled());
  EXPECT_EQ(timer1_.starts(), starts1);  // no fresh interval: the rhythm stays
  EXPECT_EQ(timer2_.starts(), starts2);
  Handler().StopProcess();
  Handler().Wake();
  EXPECT_EQ(RunPosted(), 0u);
}

TEST_F(HandlerTest, AWakeDuringAPassIsOneRunAfterItAndNoTickEntersAWokenRun) {
  Handler().AllocateId(Variant{int64_t{1}});
  int inside = 0;
  // Something inside the send lets the loop run: a wake, and ticks of both timers, arrive.
  sms_.SetSendFunction([&](const RenderedSms& sms) {
    if (sms.recipients[0].first == "111" && inside++ == 0) {
      Spool("b.msg", {{"222", ""}});
      Handler().Wake();
      Handler().Wake();
      timer1_.Fire();
      timer2_.Fire();
    }
    return FakeSmsResult{};
  });
  struct Case {
    const char* pass;
    std::function<void()> run;
  } cases[] = {{"timed", [&] { ProcessTick(); }}, {"woken", [&] {
                                                     Handler().Wake();
                                                     RunPosted();
                                                   }}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pass);
    const size_t before = SmsNumbers().size();
    auto since = [&] {
      std::vector<std::string> numbers = SmsNumbers();
      return std::vector<std::string>(numbers.begin() + static_cast<long>(before), numbers.end());
    };
    inside = 0;
    Spool("a.msg", {{"111", ""}});
    Handler().ScanSpoolFolder();
    c.run();
    EXPECT_THAT(since(), ElementsAre("111"));  // b waits: no pass was entered twice
    EXPECT_EQ(RunPosted(), 1u);                // the one run the wakes asked for
    EXPECT_THAT(since(), ElementsAre("111", "222"));
    EXPECT_EQ(RunPosted(), 0u);
  }
}

TEST_F(HandlerTest, AWokenPassServesOnlyUntriedMessagesSoAFailureKeepsTheTimedRhythm) {
  Spool("a.msg", {{"111", ""}});
  sms_.SetSendFunction([](const RenderedSms& sms) {
    return sms.recipients[0].first == "111" ? FakeSmsResult{9, "down"} : FakeSmsResult{};
  });
  Handler().AllocateId(Variant{int64_t{1}});
  Handler().Wake();
  RunPosted();
  Spool("b.msg", {{"222", ""}});
  Handler().Wake();
  RunPosted();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111", "222"));  // a not retried by the woken pass
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111", "222", "111"));
  // A new file in the freed slot of b is untried again.
  Spool("c.msg", {{"333", ""}});
  Handler().Wake();
  RunPosted();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111", "222", "111", "333"));
}

TEST_F(HandlerTest, IdMinusOneEndsTheProgramAtTheFirstProcessingTick) {
  Spool("a.msg", {{"447700900123", ""}});
  Handler().AllocateId(Variant{int64_t{-1}});
  EXPECT_EQ(Handler().queue().QueueCount(), 1);  // the first scan runs as usual
  ProcessTick();
  EXPECT_EQ(end_calls_, 1);
  EXPECT_TRUE(sms_.renderers().empty());
}

TEST_F(HandlerTest, StopProcessLeavesSpoolFilesOnDisk) {
  std::string path = Spool("a.msg", {{"447700900123", ""}});
  Handler().AllocateId(Variant{int64_t{1}});
  Handler().StopProcess();
  EXPECT_EQ(end_calls_, 1);
  EXPECT_TRUE(files_.FileExists(path));
}

TEST_F(HandlerTest, WithoutTheSpoolFolderLockNothingIsScannedOrServed) {
  lock_.set_available(false);
  Spool("a.msg", {{"447700900123", ""}});
  Handler().AllocateId(Variant{int64_t{1}});
  EXPECT_EQ(Handler().queue().QueueCount(), 0);
  lock_.set_available(true);  // the other handler has ended
  timer2_.Fire();
  EXPECT_EQ(Handler().queue().QueueCount(), 1);
}

TEST(SpoolQueueTest, SlotsAreQueuedOnceAndTheLowestFreeSlotIsReused) {
  SpoolQueue queue;
  TimePoint t0 = FakeClock::At({2026, 12, 7, 9, 0, 0});
  TimePoint t1 = FakeClock::At({2026, 12, 7, 9, 5, 0});
  EXPECT_EQ(queue.EnqueueSpoolFile("/s/a.msg", t0), 1);
  EXPECT_EQ(queue.EnqueueSpoolFile("/s/b.msg", t0), 2);
  EXPECT_EQ(queue.EnqueueSpoolFile("/s/c.msg", t0), 3);
  EXPECT_EQ(queue.EnqueueSpoolFile("/s/a.msg", t1), 1);  // already queued
  EXPECT_EQ(queue.slot(1).QueuedAt, t0);
  EXPECT_EQ(queue.EnqueueSpoolFile("/s/A.msg", t0), 4);  // another path in another case
  queue.FreeSlot(3);
  queue.FreeSlot(1);
  EXPECT_EQ(queue.slot(1).SpoolPath, "*");
  EXPECT_EQ(queue.slot(1).QueuedAt, t0);  // kept when freed
  EXPECT_EQ(queue.EnqueueSpoolFile("/s/d.msg", t1), 1);
  EXPECT_EQ(queue.slot(1).QueuedAt, t1);
  EXPECT_EQ(queue.EnqueueSpoolFile("/s/e.msg", t1), 3);
  EXPECT_EQ(queue.EnqueueSpoolFile("/s/f.msg", t1), 5);
  EXPECT_EQ(queue.QueueCount(), 5);
  EXPECT_FALSE(queue.IsQueued("/s/c.msg"));
  EXPECT_EQ(queue.EnqueueSpoolFile("/s/c.msg", t1), 6);
}

TEST(DoneListTest, MatchesWholeEntriesOnly) {
  EXPECT_TRUE(DoneListContains("1:3:", 1));
  EXPECT_TRUE(DoneListContains("1:3:", 3));
  EXPECT_FALSE(DoneListContains("1:3:", 2));
  EXPECT_FALSE(DoneListContains("11:", 1));
  EXPECT_FALSE(DoneListContains("21:", 1));
  EXPECT_TRUE(DoneListContains("2:11:", 11));
  EXPECT_FALSE(DoneListContains("", 1));
  // A record with recipients that failed for good reads back, and as a plain DoneList holds them.
  for (const char* text : {"1:3::2:", ":2:", "1:"}) {
    QueueSlot slot;
    TakeServedRecord(text, &slot);
    EXPECT_EQ(ServedRecordText(slot), text);
    EXPECT_EQ(DoneListContains(text, 2), slot.failed_list == "2:") << text;
  }
}

// --- the spool folder scan ---

TEST_F(HandlerTest, ScanExpiresByMinuteBoundariesAndQueuesTheRest) {
  clock_.Set({2026, 12, 7, 10, 0, 30});
  files_.AddFile(std::string(kSpool) + "young.msg", "m", FakeClock::At({2026, 12, 7, 9, 1, 59}));
  files_.AddFile(std::string(kSpool) + "old.msg", "m", FakeClock::At({2026, 12, 7, 9, 0, 59}));
  Handler().AllocateId(Variant{int64_t{1}});
  EXPECT_TRUE(Handler().queue().IsQueued(std::string(kSpool) + "young.msg"));  // 59 boundaries
  EXPECT_FALSE(files_.FileExists(std::string(kSpool) + "old.msg"));            // 60 boundaries
  EXPECT_FALSE(Handler().queue().IsQueued(std::string(kSpool) + "old.msg"));
  EXPECT_THAT(LogTexts(),
              ElementsAre("{1} Expired mail file removed...old.msg 07/12/2026 09:00:59"));
}

TEST_F(HandlerTest, ScanWithExpiryZeroDeletesEverySpoolFile) {
  Set("MessageExpiry", "0");
  std::string path = Spool("a.msg", {{"447700900123", ""}});
  Handler().AllocateId(Variant{int64_t{1}});
  EXPECT_FALSE(files_.FileExists(path));
  EXPECT_EQ(Handler().queue().QueueCount(), 0);
}

TEST_F(HandlerTest, ExpiryIsAWholeNumberAndAnUnusableOneKeepsEveryMailAndIsReportedOnce) {
  struct Case {
    const char* expiry;
    bool usable;
  } cases[] = {{"40000", true}, {"soon", false}, {"-5", false}, {"525601", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expiry);
    handler_.reset();
    const size_t sms_before = SmsNumbers().size(), log_before = LogTexts().size();
    Set("MessageExpiry", c.expiry);
    // Two days old, and its send fails so that it stays for the next scans and passes.
    std::string path = Spool(std::string(c.expiry) + ".msg", {{"111", ""}});
    files_.SetModified(path, clock_.Now() - std::chrono::hours(48));
    sms_.SetDefaultSendResult({9, "down"});
    Handler().AllocateId(Variant{int64_t{1}});
    ProcessTick();
    timer2_.Fire();
    ProcessTick();
    EXPECT_EQ(SmsNumbers().size() - sms_before, 2u);
    EXPECT_TRUE(files_.FileExists(path));
    const std::vector<std::string> texts = LogTexts();
    const std::string refusal = "{1} !!!MessageExpiry \"" + std::string(c.expiry) +
                                "\" is not a whole number of minutes from 0 to 525600";
    EXPECT_EQ(std::count_if(texts.begin() + static_cast<long>(log_before), texts.end(),
                            [&](const std::string& t) { return t.rfind(refusal, 0) == 0; }),
              c.usable ? 0 : 1);
    files_.DeleteFile(path);
  }
  size_t refusals = 0;
  for (const SentMail* mail : ErrorMails())
    refusals += mail->subject == "Vanequeue 1 Settings Error";
  EXPECT_EQ(refusals, 3u);
}

TEST_F(HandlerTest, AQueuedFileTheScanExpiresIsNoErrorForThePass) {
  std::string path = Spool("a.msg", {{"447700900123", ""}});
  Handler().AllocateId(Variant{int64_t{1}});
  clock_.Advance(std::chrono::minutes(60));
  timer2_.Fire();
  ProcessTick();
  EXPECT_THAT(LogTexts(), ElementsAre("{1} Expired mail file removed...a.msg 07/12/2026 09:07:03"));
  EXPECT_TRUE(ErrorMails().empty());
  EXPECT_EQ(Handler().queue().slot(1).SpoolPath, "*");
  EXPECT_FALSE(files_.FileExists(path));
}

TEST_F(HandlerTest, AFailedDeletionKeepsTheRestOfThatSweepFromActing) {
  clock_.Set({2026, 12, 7, 12, 0, 0});
  files_.AddFile(std::string(kSpool) + "1old.msg", "m", FakeClock::At({2026, 12, 7, 9, 0, 0}));
  files_.AddFile(std::string(kSpool) + "2new.msg", "m", clock_.Now());
  files_.FailDeleteFile(1, EACCES);
  Handler().AllocateId(Variant{int64_t{1}});
  std::vector<FileInfo> listed;
  files_.ListFiles(kSpool, &listed);
  bool old_first = listed[0].name == "1old.msg";
  // Only when the failing deletion came first is the later file kept from the queue.
  EXPECT_EQ(Handler().queue().QueueCount(), old_first ? 0 : 1);
  timer2_.Fire();  // the next sweep starts with nothing pending
  EXPECT_FALSE(files_.FileExists(std::string(kSpool) + "1old.msg"));
  EXPECT_EQ(Handler().queue().QueueCount(), 1);
}

// --- processing ---

TEST_F(HandlerTest, NumbersGetAnSmsAndAnAddressIsForwardedThenTheMessageIsConcluded) {
  std::string path = Spool("a.msg",
                           {{"447700900123", "Bob"},
                            {"447700900124@sms.example.com", "Carol@Home"},
                            {"dave@example.org", "Dave"}},
                           "Line one\r\nLine two");
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();

  ASSERT_EQ(sms_.renderers().size(), 2u);
  const RenderedSms& first = sms_.renderers()[0];
  EXPECT_THAT(first.calls,
              ElementsAre("MailServer", "MailAddress", "ReplyAddress", "ReplyName", "Message",
                          "Account", "Password", "AddRecipient", "Reference", "Send"));
  EXPECT_EQ(first.reference, "a.msg");
  EXPECT_EQ(first.servers, "127.0.0.1:2525");
  EXPECT_EQ(first.gateway_address, kSmsGatewayAddress);
  EXPECT_EQ(first.reply_address, "gateway@example.com");
  EXPECT_EQ(first.reply_name, "Alice");
  EXPECT_EQ(first.message, "Line one Line two");
  EXPECT_EQ(first.account, "acct");
  EXPECT_EQ(first.password, "secret");
  EXPECT_THAT(SmsNumbers(), ElementsAre("447700900123", "447700900124"));
  EXPECT_EQ(sms_.renderers()[1].recipients[0].second, "Carol");  // name before its "@"
  EXPECT_EQ(sms_.live_renderers(), 0);

  ASSERT_EQ(mail_.sent().size(), 1u);
  const SentMail& forward = mail_.sent()[0];
  EXPECT_THAT(forward.calls, ElementsAre("Reset", "BodyFormat", "MailServer", "Subject", "BodyText",
                                         "AddRecipient", "From", "FromAddr", "Send"));
  EXPECT_EQ(forward.subject, "Subject line");
  EXPECT_EQ(forward.body, "Line one\r\nLine two");  // neither stripped nor cut
  EXPECT_EQ(forward.recipients[0].address, "dave@example.org");
  EXPECT_EQ(forward.from, "Alice");
  EXPECT_EQ(forward.from_addr, "alice@example.com");

  EXPECT_FALSE(files_.FileExists(path));
  EXPECT_EQ(Handler().queue().slot(1).SpoolPath, "*");
  std::vector<std::string> texts = LogTexts();
  ASSERT_GE(texts.size(), 5u);
  EXPECT_THAT(std::vector<std::string>(texts.begin(), texts.begin() + 5),
              ElementsAre("{1} Processed OK (1/1) " + path,
                          "{1} >>> From:alice@example.com <Alice>", "{1} >>> To:447700900123 <Bob>",
                          "{1} >>> To:447700900124@sms.example.com <Carol@Home>",
                          "{1} >>> To:dave@example.org <Dave>"));
  // The body goes to the log unchanged, line breaks included.
  EXPECT_THAT(*files_.Contents(std::string(kLogDir) + "20261207.log"),
              ::testing::EndsWith("{1} >>> Body:Line one\r\nLine two\r\n"));
}

TEST_F(HandlerTest, TheSmsTextIsCutByCharactersAfterTheDisplayName) {
  Set("MaxLength", "10");
  Set("StripCRLF", "0");
  Set("MailFromAddress", "");
  Spool("a.msg", {{"1", ""}}, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\r\nxyz",
        "Al");  // 7 two-byte characters
  Spool("b.msg", {{"2", ""}}, std::string(200, 'x'), "");
  Spool("c.msg", {{"3", ""}}, "anything", std::string(12, 'N'));
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  std::map<std::string, const RenderedSms*> by_number;
  for (const RenderedSms& sms : sms_.renderers()) by_number[sms.recipients[0].first] = &sms;
  ASSERT_EQ(by_number.size(), 3u);
  // 10 - 1 - 2 = 7 characters, never a split character.
  EXPECT_EQ(by_number["1"]->message, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");
  EXPECT_EQ(by_number["1"]->reply_address, "alice@example.com");
  EXPECT_EQ(by_number["2"]->message, std::string(9, 'x'));
  EXPECT_EQ(by_number["2"]->reply_name, "Unknown");
  EXPECT_EQ(by_number["3"]->message, "");  // a name longer than the limit leaves no text
}

TEST_F(HandlerTest, TheSmsTextEndsAtItsLastWordFallsBackToTheSubjectAndACutIsLogged) {
  Set("MaxLength", "13");  // with the name "Al", 10 characters
  Spool("a.msg", {{"(07700) 900127", ""}}, "Disk full\r\n\r\n", "Al");
  Spool("b.msg", {{"2", ""}, {"dave@example.org", ""}}, "  ", "Al");
  Spool("c.msg", {{"dave@example.org", ""}}, std::string(20, 'x'), "Al");
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  std::map<std::string, std::string> texts;
  for (const RenderedSms& sms : sms_.renderers()) texts[sms.recipients[0].first] = sms.message;
  EXPECT_EQ(texts, (std::map<std::string, std::string>{{"07700 900127", "Disk full"},
                                                       {"2", "Subject li"}}));
  // Only a cut SMS text says so, after the body it was cut from; a forward is never cut.
  const std::vector<std::string> log = LogTexts();
  EXPECT_EQ(CountLog("{1} >>> SMS text (cut to "), 1u);
  const auto b = std::find(log.begin(), log.end(), "{1} >>> To:dave@example.org <>");
  ASSERT_NE(b, log.end());
  EXPECT_THAT(std::vector<std::string>(b + 1, b + 3),
              ElementsAre("{1} >>> Body:  ", "{1} >>> SMS text (cut to 10 characters)"));
}

TEST_F(HandlerTest, ClassificationTable) {
  Set("ForwardOK", "1");
  struct Case {
    std::string address;
    bool sms;
  } cases[] = {
      {"447700900123", true},
      {"447700900123@sms.example.com", true},  // a digit starts the local part
      {"+44 7700 900123", true},
      {"bob@example.com", false},
      {"Bob.Smith@Mail.Example.CO.UK", false},
      {"b@example.com", true},  // the local part needs two characters
      {"tom@example.c0m", true},
      {"bob_x@ex-ample.org", false},
  };
  std::vector<MailRecipient> recipients;
  for (const Case& c : cases) recipients.push_back({c.address, ""});
  Spool("a.msg", recipients);
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  std::set<std::string> smsed;
  for (const RenderedSms& sms : sms_.renderers()) smsed.insert(sms.recipients[0].first);
  std::set<std::string> forwarded;
  for (const SentMail& mail : mail_.sent()) forwarded.insert(mail.recipients[0].address);
  for (const Case& c : cases) {
    std::string number = c.address.substr(0, c.address.find('@'));
    EXPECT_EQ(smsed.count(number) == 1, c.sms) << c.address;
    EXPECT_EQ(forwarded.count(c.address) == 1, !c.sms) << c.address;
  }
}

TEST_F(HandlerTest, ForwardingNotAllowedIsLoggedButNotAFailure) {
  Set("ForwardOK", "0");
  std::string path = Spool("a.msg", {{"dave@example.org", "Dave"}, {"447700900123", ""}});
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_TRUE(mail_.sent().empty());
  EXPECT_EQ(sms_.renderers().size(), 1u);
  EXPECT_EQ(CountLog("{1} EMail Forward not allowed (1/1) dave@example.org"), 1u);
  EXPECT_EQ(CountLog("{1} Processed OK (1/1) "), 1u);
  EXPECT_FALSE(files_.FileExists(path));
}

TEST_F(HandlerTest, AFailedRecipientIsRetriedAloneWithOneErrorMailAndOneErroredBlock) {
  std::string path = Spool("a.msg", {{"111", "One"}, {"222", "Two"}});
  sms_.SetSendFunction([&](const RenderedSms& sms) {
    return sms.recipients[0].first == "222" ? FakeSmsResult{9, "gateway down"} : FakeSmsResult{};
  });
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  ProcessTick();
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111", "222", "222", "222"));
  ASSERT_EQ(ErrorMails().size(), 1u);
  EXPECT_EQ(ErrorMails()[0]->subject, "Vanequeue 1 Message send Error (1/1)");
  EXPECT_EQ(ErrorMails()[0]->body,
            "222/alice@example.com, Failed to send message, Check logs, Error : gateway down");
  EXPECT_EQ(CountLog("{1} !!!Errored (1/1) " + path), 1u);
  EXPECT_EQ(CountLog("{1} !!!Send Error (1/1) 222/alice@example.com"), 3u);  // every SMS failure
  EXPECT_EQ(CountLog("{1} !!!gateway down"), 3u);
  EXPECT_TRUE(files_.FileExists(path));

  sms_.SetSendFunction(nullptr);  // the provider accepts again
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111", "222", "222", "222", "222"));
  EXPECT_EQ(CountLog("{1} Processed OK (1/1) " + path), 1u);
  EXPECT_FALSE(files_.FileExists(path));
  EXPECT_EQ(ErrorMails().size(), 1u);
}

TEST_F(HandlerTest, AnOutageMailsOnceForAllMessagesAndOnceWhenTheProviderRecovers) {
  Spool("a.msg", {{"111", "One"}, {"222", "Two"}});
  Spool("b.msg", {{"333", "Three"}});
  sms_.SetDefaultSendResult(
      {kSmsProviderFailed, "SMPP bind: ESME_RBINDFAIL", SendFailure::kProvider});
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  ProcessTick();
  ASSERT_EQ(ErrorMails().size(), 1u);  // not one per message
  EXPECT_EQ(ErrorMails()[0]->subject, "Vanequeue 1 Provider down");
  EXPECT_EQ(ErrorMails()[0]->body,
            "SMS provider smpp h:1 cannot be used since 07/12/2026 09:07:03: SMPP bind: "
            "ESME_RBINDFAIL. 3 SMS wait and are retried; no error mail is sent per message until "
            "the provider recovers");
  EXPECT_EQ(CountLog("{1} !!!SMS provider smpp h:1 cannot be used since"), 1u);
  // sent, attempts failed, forwards, error mails, queued, oldest, permanent, given up, up, down,
  // then the receipts by state
  ASSERT_EQ(counts_.size(), 14u);
  EXPECT_EQ(counts_[1], Variant{int64_t{6}});
  EXPECT_EQ(counts_[8], Variant{int64_t{0}});
  EXPECT_EQ(counts_[9], Variant{"smpp h:1 since 07/12/2026 09:07:03 (SMPP bind: ESME_RBINDFAIL)"});

  clock_.Advance(std::chrono::minutes(3));
  sms_.SetDefaultSendResult({});
  ProcessTick();
  ASSERT_EQ(ErrorMails().size(), 2u);
  EXPECT_EQ(ErrorMails()[1]->subject, "Vanequeue 1 Provider recovered");
  EXPECT_EQ(ErrorMails()[1]->body, "SMS provider smpp h:1 recovered after 3 minutes, 3 SMS sent");
  EXPECT_EQ(CountLog("{1} Processed OK"), 2u);
  EXPECT_EQ(counts_[0], Variant{int64_t{3}});
  EXPECT_EQ(counts_[8], Variant{int64_t{1}});
  EXPECT_EQ(counts_[9], Variant{std::string()});
}

TEST_F(HandlerTest, OutcomesCountEachRecipientOnceAndAttemptsEachTime) {
  Set("MessageExpiry", "2");
  std::string path = Spool("a.msg", {{"111", "One"}, {"222", "Two"}, {"333", "Three"}});
  sms_.SetSendFunction([](const RenderedSms& sms) {
    const std::string& number = sms.recipients[0].first;
    if (number == "111") return FakeSmsResult{kSmsInvalidNumber, "bad", SendFailure::kPermanent};
    return number == "222" ? FakeSmsResult{9, "busy"} : FakeSmsResult{};
  });
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  ProcessTick();
  ProcessTick();
  EXPECT_EQ(counts_[0], Variant{int64_t{1}});  // sent
  EXPECT_EQ(counts_[1], Variant{int64_t{4}});  // attempts failed: 111 once, 222 each pass
  EXPECT_EQ(counts_[6], Variant{int64_t{1}});  // failed permanently, once
  EXPECT_EQ(counts_[7], Variant{int64_t{0}});
  EXPECT_EQ(ErrorMails().size(), 1u);  // a message's own failure keeps its mail
  clock_.Advance(std::chrono::minutes(3));
  ProcessTick();
  EXPECT_FALSE(files_.FileExists(path));
  EXPECT_EQ(counts_[7], Variant{int64_t{1}});  // 222 given up; 111 was counted already
  EXPECT_EQ(counts_[8], Variant{int64_t{1}});
}

TEST_F(HandlerTest, SmsUnderWayShareTheWindowAndEachIsRecordedWhenItsAnswerComes) {
  sms_.SetSendsInFlight(3);  // answered newest first
  std::string a =
      Spool("a.msg", {{"111", ""}, {"222", ""}, {"dave@example.org", "Dave"}, {"333", ""}});
  std::string b = Spool("b.msg", {{"444", ""}});
  std::string c = Spool("c.msg", {{"555", ""}});
  sms_.SetSendFunction([&](const RenderedSms& sms) {
    return sms.recipients[0].first == "222" ? FakeSmsResult{9, "refused"} : FakeSmsResult{};
  });
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_EQ(sms_.most_held(), 3);
  EXPECT_EQ(sms_.live_renderers(), 0);  // nothing outlives the pass
  EXPECT_THAT(SmsNumbers(), ::testing::UnorderedElementsAre("111", "222", "333", "444", "555"));
  EXPECT_EQ(mail_.sent().size(), 2u);  // the forward and the one error mail
  EXPECT_EQ(CountLog("{1} !!!Send Error (1/3) 222/alice@example.com"), 1u);
  EXPECT_EQ(CountLog("{1} !!!Errored (1/3) " + a), 1u);
  EXPECT_EQ(CountLog("{1} Processed OK (2/3) " + b), 1u);
  EXPECT_EQ(CountLog("{1} Processed OK (3/3) " + c), 1u);
  EXPECT_EQ(files_.FileNames(kSpool), (std::vector<std::string>{"a.msg", "a.msg.done"}));

  sms_.SetSendFunction(nullptr);
  ProcessTick();  // only the refused one again, and the message is concluded with it
  const std::vector<std::string> numbers = SmsNumbers();
  EXPECT_EQ(std::count(numbers.begin(), numbers.end(), "222"), 2);
  EXPECT_EQ(numbers.size(), 6u);
  EXPECT_EQ(mail_.sent().size(), 2u);
  EXPECT_EQ(CountLog("{1} Processed OK (1/3) " + a), 1u);
  EXPECT_EQ(files_.FileNames(kSpool), std::vector<std::string>{});
}

TEST_F(HandlerTest, ForwardFailuresAreLoggedOnTheFirstFailingPassOnly) {
  std::string path = Spool("a.msg", {{"dave@example.org", "Dave"}});
  mail_.SetSendFunction([](const SentMail& mail) {
    return mail.recipients[0].address == "dave@example.org"
               ? FakeSendResult{kMailRecipientRefused, ""}
               : FakeSendResult{};
  });
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  ProcessTick();
  EXPECT_EQ(CountLog("{1} !!!Send Error (1/1) dave@example.org/alice@example.com"), 1u);
  EXPECT_EQ(CountLog("{1} !!!An error was reported in response to a recipient address."), 1u);
  ASSERT_EQ(ErrorMails().size(), 1u);
  EXPECT_THAT(ErrorMails()[0]->body, HasSubstr("Error : An error was reported"));
  EXPECT_TRUE(files_.FileExists(path));
}

TEST_F(HandlerTest, RecipientOneIsServedEvenAfterRecipientElevenWas) {
  std::vector<MailRecipient> recipients;
  for (int j = 1; j <= 11; ++j) recipients.push_back({std::to_string(1000 + j), ""});
  Spool("a.msg", recipients);
  int attempt = 0;
  // Recipient 1 fails once, every other succeeds: after the first pass "11:" is in the list.
  sms_.SetSendFunction([&](const RenderedSms& sms) {
    return sms.recipients[0].first == "1001" && attempt++ == 0 ? FakeSmsResult{9, "busy"}
                                                               : FakeSmsResult{};
  });
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  ProcessTick();
  std::vector<std::string> numbers = SmsNumbers();
  EXPECT_EQ(std::count(numbers.begin(), numbers.end(), "1001"), 2);
  EXPECT_EQ(std::count(numbers.begin(), numbers.end(), "1011"), 1);
  EXPECT_EQ(CountLog("{1} Processed OK (1/1) "), 1u);
}

TEST_F(HandlerTest, AMessageThatCannotBeLoadedIsReportedAndDropped) {
  std::string path = Spool("a.msg", {{"447700900123", ""}});
  Handler().AllocateId(Variant{int64_t{1}});
  mail_.RemoveMessage(path);
  files_.DeleteFile(path);  // removed from disk while queued
  ProcessTick();
  ASSERT_EQ(ErrorMails().size(), 1u);
  EXPECT_EQ(ErrorMails()[0]->subject, "Vanequeue 1 Message Error (1/1)");
  EXPECT_EQ(ErrorMails()[0]->body, "Failed to load message...10...deleted " + path);
  EXPECT_EQ(CountLog("{1} Message Error (1/1) 10 " + path), 1u);
  EXPECT_EQ(Handler().queue().slot(1).SpoolPath, "*");
  EXPECT_EQ(mail_.temp_directories().back(), kSpool);
}

TEST_F(HandlerTest, AQueuedSlotExpiresAsTheScanDoesWhenItsAgeReachesTheExpiry) {
  std::string path = Spool("a.msg", {{"447700900123", ""}});
  sms_.SetDefaultSendResult({9, "down"});
  Handler().AllocateId(Variant{int64_t{1}});
  // Keep the scan from expiring the file first: it is modified "now" at every step.
  clock_.Advance(std::chrono::minutes(59));
  files_.SetModified(path, clock_.Now());
  ProcessTick();  // 59 minute boundaries: not yet
  EXPECT_EQ(CountLog("{1} Message expired "), 0u);
  clock_.Advance(std::chrono::minutes(1));
  ProcessTick();
  EXPECT_EQ(CountLog("{1} Message expired 07/12/2026 09:07:03 " + path), 1u);
  EXPECT_EQ(Handler().queue().slot(1).SpoolPath, "*");
}

TEST_F(HandlerTest, TheQueueAlarmIsMailedOnceAboveTheLimit) {
  for (int k = 0; k < 257; ++k) {
    files_.AddFile(std::string(kSpool) + "m" + std::to_string(k) + ".msg", "x", clock_.Now());
  }
  sms_.SetDefaultSendResult({9, "down"});
  Handler().AllocateId(Variant{int64_t{1}});
  ASSERT_EQ(Handler().queue().QueueCount(), 257);
  ProcessTick();
  ProcessTick();
  EXPECT_EQ(Handler().QueueAlarm(), 1);
  EXPECT_EQ(CountLog("{1} Mail queue now 257"), 1u);
  size_t alarms = 0;
  for (const SentMail* mail : ErrorMails()) {
    if (mail->subject == "Vanequeue 1 Queue Error (257)") {
      ++alarms;
      EXPECT_EQ(mail->body, "Queue count is now 257");
    }
  }
  EXPECT_EQ(alarms, 1u);
}

TEST_F(HandlerTest, AMessageWithoutRecipientsIsConcludedAtOnce) {
  std::string path = Spool("a.msg", {});
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_EQ(CountLog("{1} Processed OK (1/1) " + path), 1u);
  EXPECT_FALSE(files_.FileExists(path));
}

TEST_F(HandlerTest, AnUnreadableLimitTakesTheFatalPath) {
  Set("MaxLength", "long");
  Spool("a.msg", {{"447700900123", ""}});
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  ASSERT_EQ(ErrorMails().size(), 1u);
  EXPECT_EQ(ErrorMails()[0]->subject, "Vanequeue 1 Error");
  EXPECT_EQ(ErrorMails()[0]->body, "Vanequeue:Type mismatch\r\n");
  EXPECT_EQ(end_calls_, 1);
  EXPECT_TRUE(sms_.renderers().empty());
}

TEST_F(HandlerTest, AServedMessageWhoseFileCannotBeDeletedIsNeverServedAgain) {
  std::string path = Spool("a.msg", {{"447700900123", ""}});
  Handler().AllocateId(Variant{int64_t{1}});
  files_.FailDeleteFile(1, EACCES);
  ProcessTick();
  EXPECT_TRUE(files_.FileExists(path));
  EXPECT_EQ(CountLog("{1} !!!Cannot delete " + path), 1u);
  timer2_.Fire();  // the scan sees the file again
  ProcessTick();   // and the deletion is retried, not the message
  EXPECT_EQ(sms_.renderers().size(), 1u);
  EXPECT_FALSE(files_.FileExists(path));
  EXPECT_EQ(Handler().queue().slot(1).SpoolPath, "*");
}

TEST_F(HandlerTest, AFailedErrorMailIsLoggedWithThePrefix) {
  mail_.SetDefaultSendResult({kMailConnectError, "refused"});
  Spool("a.msg", {{"dave@example.org", ""}});
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  // The forward failed (9), then its error mail failed too.
  EXPECT_EQ(CountLog("{1} 07/12/2026 09:07:03 Cannot send mail....9"), 1u);
}

TEST_F(HandlerTest, ServedRecipientsAreRecordedSoANewHandlerDoesNotServeThemAgain) {
  std::string path = Spool("a.msg", {{"111", ""}, {"222", ""}, {"333", ""}});
  sms_.SetSendFunction([](const RenderedSms& sms) {
    return sms.recipients[0].first == "333" ? FakeSmsResult{9, "down"} : FakeSmsResult{};
  });
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_EQ(*files_.Contents(path + ".done"), "1:2:");

  // The handler ends; the next one finds the record with the spool file.
  handler_.reset();
  sms_.SetSendFunction(nullptr);
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111", "222", "333", "333"));
  EXPECT_FALSE(files_.FileExists(path));
  EXPECT_FALSE(files_.FileExists(path + ".done"));
}

TEST_F(HandlerTest, AMessageServedInOnePassLeavesNoRecord) {
  std::string path = Spool("a.msg", {{"111", ""}, {"222", ""}});
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_FALSE(files_.FileExists(path));
  EXPECT_EQ(files_.FileNames(kSpool), std::vector<std::string>{});
}

TEST_F(HandlerTest, ARecordThatIsNotADoneListIsIgnored) {
  std::string path = Spool("a.msg", {{"111", ""}});
  files_.AddFile(path + ".done", "garbage", clock_.Now());
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111"));
  EXPECT_EQ(files_.FileNames(kSpool), std::vector<std::string>{});  // gone with its spool file
}

TEST_F(HandlerTest, TheSweepRemovesRecordsWhoseSpoolFileIsGoneAndKeepsTheOthers) {
  std::string kept = Spool("b.msg", {{"111", ""}, {"222", ""}});
  files_.AddFile(kept + ".done", "1:", clock_.Now());
  files_.AddFile(std::string(kSpool) + "a.msg.done", "1:", clock_.Now());  // spool file gone
  files_.AddFile(std::string(kSpool) + "notes.done", "1:", clock_.Now());  // not a record
  Handler().AllocateId(Variant{int64_t{1}});
  timer2_.Fire();
  EXPECT_EQ(files_.FileNames(kSpool),
            (std::vector<std::string>{"b.msg", "b.msg.done", "notes.done"}));
  timer2_.Fire();  // queued already: its record stays
  EXPECT_TRUE(files_.FileExists(kept + ".done"));
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("222"));
  EXPECT_EQ(files_.FileNames(kSpool), std::vector<std::string>{"notes.done"});
}

// --- envelope records, limits and the windows around a kill ---

TEST_F(HandlerTest, EnvelopeOnlyRecipientsAreServedAfterTheHeaderOnesAndGoWithTheSpoolFile) {
  std::string path = Spool("a.msg", {{"+44 7700 900123", "Bob"}, {"dave@example.org", "Dave"}});
  // The same two again in other spellings, one number twice, and two blind copies.
  files_.AddFile(path + ".env",
                 "+447700900123\nDAVE@example.org\n447700900999\n447700900999\ncarol@example.net\n",
                 clock_.Now());
  sms_.SetSendFunction([](const RenderedSms& sms) {
    return sms.recipients[0].first == "447700900999" ? FakeSmsResult{9, "down"} : FakeSmsResult{};
  });
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("+44 7700 900123", "447700900999"));
  ASSERT_EQ(mail_.sent().size(), 3u);  // dave's forward, the error mail, carol's forward
  EXPECT_EQ(mail_.sent()[0].recipients[0].address, "dave@example.org");
  EXPECT_EQ(mail_.sent()[2].recipients[0].address, "carol@example.net");
  EXPECT_EQ(mail_.sent()[2].recipients[0].name, "");
  EXPECT_EQ(*files_.Contents(path + ".done"), "1:2:4:");  // header numbers first
  EXPECT_EQ(CountLog("{1} >>> To:447700900999 <>"), 1u);
  EXPECT_EQ(CountLog("{1} >>> To:carol@example.net <>"), 1u);
  EXPECT_EQ(CountLog("{1} >>> To:"), 4u);

  sms_.SetSendFunction(nullptr);
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("+44 7700 900123", "447700900999", "447700900999"));
  EXPECT_EQ(files_.FileNames(kSpool), std::vector<std::string>{});  // the .msg and both records
}

TEST(SameRecipientTest, CaseSpacesAndDashesDoNotMakeAnotherRecipient) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"bob@example.com", "BOB@Example.COM", true},
      {"+447700900123", "+44 7700-900123", true},
      {"447700900123", "+447700900123", false},
      {"447700900123", "4477009001234", false},
      {"bob@example.com", "bob@example.co", false},
      {"", "", true},
      {"(07700)900127@sms.example", "07700.900127@SMS.Example", true},
      {"(07700)900127@sms.example", "900127@sms.example", false},
      {"(07700)900127", "07700 900127", true},
      {"07700900127@a.example", "(07700)900127@b.example", false},
      {"07700900127", "07700900127@sms.example", false},
      {"+44 (0) 7700 900127", "+44 (0) 7700 900127", true},
      {"+44 (0) 7700 900127", "+447700900127", false},
  };
  for (const Case& c : cases) EXPECT_EQ(SameRecipient(c.a, c.b), c.same) << c.a << " " << c.b;
}

TEST_F(HandlerTest, MaxLengthIsReadAsAWholeNumberOfAnySize) {
  struct Case {
    const char* max_length;
    size_t characters;  // of a 50000-character body, sender "Alice"
  } cases[] = {
      {"40000", 39994}, {"1e30", 50000}, {"&H20", 26}, {"160.5", 154}, {"-3", 0}, {"5", 0},
  };
  for (const Case& c : cases) {
    handler_.reset();
    Set("MaxLength", c.max_length);
    Spool(std::string(c.max_length) + ".msg", {{"447700900123", ""}}, std::string(50000, 'x'));
    Handler().AllocateId(Variant{int64_t{1}});
    ProcessTick();
    EXPECT_EQ(end_calls_, 0) << c.max_length;
    ASSERT_FALSE(sms_.renderers().empty());
    EXPECT_EQ(sms_.renderers().back().message.size(), c.characters) << c.max_length;
  }
}

TEST_F(HandlerTest, AMessageServedWholeIsDeletedDurablyAndRecordedOnlyWhenItsFileStays) {
  std::string a = Spool("a.msg", {{"111", ""}});
  Spool("b.msg", {{"222", ""}});
  Handler().AllocateId(Variant{int64_t{1}});
  std::vector<std::vector<std::string>> at_sync;
  files_.OnSyncFolder([&] { at_sync.push_back(files_.FileNames(kSpool)); });
  files_.FailDeleteFile(1, EACCES);  // a.msg outlives the pass, as after a kill
  ProcessTick();
  // One folder sync, after the deletion; the recipients recorded only beside the file that stayed.
  EXPECT_EQ(at_sync, (std::vector<std::vector<std::string>>{{"a.msg", "a.msg.done"}}));
  EXPECT_EQ(*files_.Contents(a + ".done"), "1:");
  handler_.reset();
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111", "222"));
  EXPECT_EQ(files_.FileNames(kSpool), std::vector<std::string>{});
}

TEST_F(HandlerTest, TheScanRemovesOnlyTheHandlersOwnTemporaryRecords) {
  for (const char* name : {".a.msg.done.tmp", ".b.msg.tmp", ".b.msg.env.tmp", "b.msg.env"}) {
    files_.AddFile(std::string(kSpool) + name, "x", clock_.Now());
  }
  Handler().AllocateId(Variant{int64_t{1}});
  EXPECT_EQ(files_.FileNames(kSpool),
            (std::vector<std::string>{".b.msg.env.tmp", ".b.msg.tmp", "b.msg.env"}));
}

TEST_F(HandlerTest, AFileThatCannotBeReadNowStaysQueuedAndIsLoggedOnce) {
  std::string path = Spool("a.msg", {{"111", ""}});
  mail_.FailLoads(path, kMailFileTemporaryError, 2);
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  ProcessTick();
  EXPECT_TRUE(sms_.renderers().empty());
  EXPECT_TRUE(files_.FileExists(path));
  EXPECT_EQ(CountLog("{1} !!!Cannot read message now (1/1) 12 " + path), 1u);
  EXPECT_EQ(CountLog("{1} Message Error"), 0u);
  EXPECT_TRUE(ErrorMails().empty());
  ProcessTick();  // it has passed
  EXPECT_THAT(SmsNumbers(), ElementsAre("111"));
  EXPECT_FALSE(files_.FileExists(path));
}

// --- stopping and failures that no retry changes ---

TEST_F(HandlerTest, AStopDuringAPassLeavesWhatWasNotSentQueuedUntouched) {
  struct Case {
    const char* name;
    bool handler_stops;  // else only the renderer reports that it is stopping
  } cases[] = {{"the handler stops", true}, {"the renderer stops", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    handler_.reset();
    end_calls_ = 0;
    std::string a = Spool(std::string(c.name) + "-a.msg", {{"111", ""}, {"222", ""}, {"333", ""}});
    std::string b = Spool(std::string(c.name) + "-b.msg", {{"444", ""}});
    const size_t before = SmsNumbers().size();
    auto since = [&] {
      std::vector<std::string> numbers = SmsNumbers();
      return std::vector<std::string>(numbers.begin() + static_cast<long>(before), numbers.end());
    };
    sms_.SetSendFunction([&](const RenderedSms& sms) {
      if (sms.recipients[0].first != "222") return FakeSmsResult{};
      if (c.handler_stops) Handler().StopProcess();
      return FakeSmsResult{kSmsProviderFailed, "SMPP: the handler is stopping",
                           SendFailure::kStopping};
    });
    Handler().AllocateId(Variant{int64_t{1}});
    ProcessTick();
    if (c.handler_stops) {
      EXPECT_THAT(since(), ElementsAre("111", "222"));  // nothing started after the stop
      EXPECT_TRUE(files_.FileExists(b));
    } else {
      EXPECT_THAT(since(), ElementsAre("111", "222", "333", "444"));
    }
    EXPECT_EQ(CountLog("{1} !!!"), 0u);
    EXPECT_TRUE(ErrorMails().empty());
    EXPECT_TRUE(files_.FileExists(a));
    EXPECT_EQ(*files_.Contents(a + ".done"), c.handler_stops ? "1:" : "1:3:");
    files_.DeleteFile(a);
    files_.DeleteFile(a + ".done");
    files_.DeleteFile(b);
  }
}

TEST_F(HandlerTest, APermanentFailureConcludesItsRecipientOnceEvenAcrossARestart) {
  std::string path = Spool("a.msg", {{"111x", ""}, {"222", ""}, {"333", ""}, {"444", ""}});
  sms_.SetSendFunction([](const RenderedSms& sms) {
    const std::string& number = sms.recipients[0].first;
    if (number == "111x") return FakeSmsResult{kSmsInvalidNumber, "Invalid mobile number \"111x\""};
    if (number == "222") return FakeSmsResult{9, "ESME_RINVDSTADR", SendFailure::kPermanent};
    if (number == "333") return FakeSmsResult{kSmsBadSettings, "no host", SendFailure::kProvider};
    return FakeSmsResult{9, "busy"};
  });
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_EQ(*files_.Contents(path + ".done"), ":1:2:");
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111x", "222", "333", "444", "333", "444"));

  // The next handler retries only the temporary failures, and concludes the message.
  handler_.reset();
  sms_.SetSendFunction(nullptr);
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111x", "222", "333", "444", "333", "444", "333", "444"));
  EXPECT_EQ(CountLog("{1} !!!Send Error (1/1) 111x/alice@example.com"), 1u);
  EXPECT_EQ(CountLog("{1} !!!Invalid mobile number"), 1u);
  EXPECT_EQ(CountLog("{1} !!!Send Error (1/1) 222/alice@example.com"), 1u);
  EXPECT_EQ(CountLog("{1} !!!Send Error (1/1) 333/alice@example.com"), 2u);
  // The message's own mail, and the outage mail of the provider that could not be used.
  ASSERT_EQ(ErrorMails().size(), 2u);
  EXPECT_EQ(ErrorMails()[0]->subject, "Vanequeue 1 Message send Error (1/1)");
  EXPECT_EQ(ErrorMails()[1]->subject, "Vanequeue 1 Provider down");
  EXPECT_EQ(CountLog("{1} !!!Errored (1/1) " + path), 1u);
  EXPECT_EQ(CountLog("{1} !!!Processed with errors (1/1) " + path), 1u);
  EXPECT_EQ(CountLog("{1} Processed OK"), 0u);
  EXPECT_EQ(files_.FileNames(kSpool), std::vector<std::string>{});
}

// The real journal on a temporary file, behind a switch that makes every call fail as a broken
// file would (the opening included), to show that the journal never decides a send.
class FlakyJournal final : public Journal {
 public:
  FlakyJournal(std::unique_ptr<Journal> real, const bool& broken)
      : real_(std::move(real)), broken_(broken) {}
  bool ok() const override { return !broken_ && real_->ok(); }
  std::error_code error() const override { return broken_ ? kBroken : real_->error(); }
  std::string ErrorText() const override { return broken_ ? "file is not a database" : ""; }
  std::error_code Reopen() override { return broken_ ? kBroken : real_->Reopen(); }
  std::error_code Write(const JournalBatch& batch, WriteResult* result) override {
    return broken_ ? kBroken : real_->Write(batch, result);
  }
  std::error_code Reconcile(const std::vector<std::string>& present, TimePoint now,
                            int* ended) override {
    return broken_ ? kBroken : real_->Reconcile(present, now, ended);
  }
  std::error_code RemoveOlderThan(TimePoint cutoff, int* removed) override {
    return broken_ ? kBroken : real_->RemoveOlderThan(cutoff, removed);
  }
  std::error_code FindMessages(const MessageQuery& q, MessagePage* page) override {
    return real_->FindMessages(q, page);
  }
  std::error_code Timeline(const std::string& name, JournalMessage* message) override {
    return real_->Timeline(name, message);
  }
  std::error_code NumberLog(const std::string& n, int limit,
                            std::vector<JournalMessage>* messages) override {
    return real_->NumberLog(n, limit, messages);
  }
  std::error_code Waiting(int limit, std::vector<JournalMessage>* messages) override {
    return real_->Waiting(limit, messages);
  }

 private:
  const std::error_code kBroken = make_error_code(JournalError::kCorrupt);
  std::unique_ptr<Journal> real_;
  const bool& broken_;
};

class HandlerJournalTest : public HandlerTest {
 protected:
  HandlerJournalTest() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = ::testing::TempDir() + "handler_journal_" + info->name() + ".sqlite";
    for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(path_ + end);
    open_journal_ = [this](const std::string& path) {
      opened_path_ = path;
      return std::make_unique<FlakyJournal>(OpenJournal(path_, JournalMode::kWrite), broken_);
    };
  }

  JournalMessage Read(const std::string& name) {
    JournalMessage message;
    EXPECT_FALSE(OpenJournal(path_, JournalMode::kRead)->Timeline(name, &message)) << name;
    return message;
  }
  const JournalRecipient* Find(const JournalMessage& m, const std::string& address) {
    for (const JournalRecipient& r : m.recipients) {
      if (r.address == address) return &r;
    }
    return nullptr;
  }

  std::string path_;
  std::string opened_path_;
  bool broken_ = false;
};

TEST_F(HandlerJournalTest, AMessageItsTriesItsReceiptAndItsEndAreRecordedAndKeptLogDays) {
  Set("ForwardOK", "0");
  Set("LogDays", "2");
  Spool("a.msg", {{"447700900123", "Bob"}, {"222", "Two"}, {"dave@example.org", "Dave"}});
  sms_.SetSendFunction([](const RenderedSms& sms) {
    return sms.recipients[0].first == "222" ? FakeSmsResult{9, "busy"}
                                            : FakeSmsResult{0, "", {}, {"1A2B"}};
  });
  Handler().AllocateId(Variant{int64_t{1}});
  EXPECT_EQ(opened_path_, std::string(kLogDir) + "journal.sqlite");
  ProcessTick();
  EXPECT_EQ(CountLog("{1} SMS sent (1/1) 447700900123 (1A2B)"), 1u);

  // The SMSC gives the id in decimal in its receipt; a state on the way is not recorded.
  Handler().TakeReceipt({"6699", "ENROUTE", ""});
  Handler().TakeReceipt({"6699", "DELIVRD", "000"});
  ASSERT_TRUE(timer2_.Fire());
  JournalMessage m = Read("a.msg");
  EXPECT_EQ(m.state, MessageState::kWaiting);
  EXPECT_EQ(m.from, "Alice <alice@example.com>");
  EXPECT_EQ(m.subject, "Subject line");
  const JournalRecipient* sent = Find(m, "447700900123");
  ASSERT_NE(sent, nullptr);
  EXPECT_EQ(sent->state, RecipientState::kDelivered);
  EXPECT_THAT(sent->provider_ids, ElementsAre("1A2B"));
  EXPECT_EQ(sent->text, "Hello there");
  EXPECT_EQ(sent->provider, "smpp h:1");
  ASSERT_NE(Find(m, "222"), nullptr);
  EXPECT_EQ(Find(m, "222")->state, RecipientState::kFailed);
  EXPECT_EQ(Find(m, "222")->answer, "busy");
  ASSERT_NE(Find(m, "dave@example.org"), nullptr);
  EXPECT_EQ(Find(m, "dave@example.org")->state, RecipientState::kNotAllowed);
  ASSERT_EQ(counts_.size(), 14u);
  EXPECT_EQ(counts_[10], Variant{int64_t{1}});  // delivered

  // Expired with a recipient still failing: given up, and ended with its file.
  clock_.Advance(std::chrono::minutes(61));
  ProcessTick();
  m = Read("a.msg");
  EXPECT_EQ(m.state, MessageState::kEnded);
  EXPECT_EQ(Find(m, "222")->state, RecipientState::kGivenUp);
  EXPECT_EQ(Find(m, "447700900123")->state, RecipientState::kDelivered);

  // Removed with the logs, at the first scan of a later day.
  clock_.Advance(std::chrono::hours(24));
  ASSERT_TRUE(timer2_.Fire());
  EXPECT_FALSE(OpenJournal(path_, JournalMode::kRead)->Timeline("a.msg", &m));
  clock_.Advance(std::chrono::hours(24));
  ASSERT_TRUE(timer2_.Fire());
  EXPECT_EQ(OpenJournal(path_, JournalMode::kRead)->Timeline("a.msg", &m),
            make_error_code(JournalError::kNotFound));
}

TEST_F(HandlerJournalTest, ABrokenJournalNeverStopsOrRepeatsAnSmsAndIsWrittenWhenItWorksAgain) {
  broken_ = true;
  Set("LogDays", "30");
  std::string path = Spool("a.msg", {{"111", "One"}, {"222", "Two"}});
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  Spool("b.msg", {{"333", "Three"}});
  ASSERT_TRUE(timer2_.Fire());
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111", "222", "333"));
  EXPECT_EQ(files_.FileNames(kSpool), std::vector<std::string>{});
  EXPECT_EQ(CountLog("{1} !!!The message journal cannot be opened (file is not a database)"), 1u);
  EXPECT_EQ(CountLog("{1} !!!The message journal cannot be"), 1u);
  ASSERT_EQ(ErrorMails().size(), 1u);
  EXPECT_EQ(ErrorMails()[0]->subject, "Vanequeue 1 Journal Error");

  // Mended: what was kept is written with the next pass, and that is logged once.
  broken_ = false;
  ASSERT_TRUE(timer2_.Fire());  // the day's removal of old messages must not skip what was kept
  ProcessTick();
  EXPECT_EQ(CountLog("{1} The message journal is written again"), 1u);
  EXPECT_EQ(Read("a.msg").state, MessageState::kEnded);
  EXPECT_EQ(Read("b.msg").recipients.at(0).state, RecipientState::kSent);
  EXPECT_THAT(SmsNumbers(), ElementsAre("111", "222", "333"));
  EXPECT_EQ(ErrorMails().size(), 1u);
}

TEST_F(HandlerJournalTest, RetryAndCancelActOnQueuedAndFailedRecipients) {
  std::string a = Spool("a.msg", {{"111", "One"}, {"222", "Two"}});
  std::string b = Spool("b.msg", {{"333", "Three"}});
  std::string c = Spool("c.msg", {{"444x", "Four"}, {"555", "Five"}, {"666", "Six"}});
  sms_.SetDefaultSendResult({9, "busy"});
  sms_.QueueSendResult(0);  // 111
  Handler().AllocateId(Variant{int64_t{1}});
  ProcessTick();
  EXPECT_THAT(SmsNumbers(), ElementsAre("111", "222", "333", "444x", "555", "666"));

  // Cancel of one recipient: it is never sent; none being left, the message is concluded.
  Handler().Cancel("a.msg", "222");
  EXPECT_FALSE(files_.FileExists(a));
  EXPECT_FALSE(files_.FileExists(a + ".done"));
  EXPECT_EQ(Find(Read("a.msg"), "222")->state, RecipientState::kCancelled);
  EXPECT_EQ(Read("a.msg").state, MessageState::kEnded);
  // Cancel of a whole message; an unknown or malformed name changes nothing.
  Handler().Cancel("b.msg", "");
  Handler().Cancel("../b.msg", "");
  Handler().Retry("z.msg", "");
  EXPECT_FALSE(files_.FileExists(b));
  EXPECT_EQ(Read("b.msg").recipients.at(0).state, RecipientState::kCancelled);
  EXPECT_EQ(CountLog("{1} Message a.msg cancelled for 222"), 1u);
  EXPECT_EQ(CountLog("{1} Message b.msg cancelled"), 1u);
  EXPECT_EQ(CountLog("{1} Message ../b.msg is not queued: nothing to cancel"), 1u);
  EXPECT_EQ(CountLog("{1} Message z.msg is not queued: nothing to retry"), 1u);

  // Retry: a permanent failure too is tried again, at once by a woken pass.
  sms_.SetSendFunction([](const RenderedSms& sms) {
    const std::string& number = sms.recipients[0].first;
    if (number == "444x") return FakeSmsResult{kSmsInvalidNumber, "Invalid"};
    return number == "666" ? FakeSmsResult{9, "busy"} : FakeSmsResult{};
  });
  ProcessTick();  // 444x failed for good, 555 sent, 666 still failing
  ProcessTick();
  EXPECT_EQ(SmsNumbers().size(), 10u);
  Handler().Retry("c.msg", "444x");
  EXPECT_EQ(RunPosted(), 1u);
  std::vector<std::string> numbers = SmsNumbers();
  EXPECT_THAT(std::vector<std::string>(numbers.begin() + 10, numbers.end()),
              ElementsAre("444x", "666"));
  // A cancel during a pass is acted on after it, the send under way being recorded first.
  sms_.SetSendFunction([this](const RenderedSms&) {
    Handler().Cancel("c.msg", "");
    return FakeSmsResult{9, "busy"};
  });
  Handler().Retry("c.msg", "");
  EXPECT_EQ(RunPosted(), 1u);
  EXPECT_EQ(SmsNumbers().size(), 14u);
  EXPECT_FALSE(files_.FileExists(c));
  JournalMessage m = Read("c.msg");
  EXPECT_EQ(m.state, MessageState::kEnded);
  EXPECT_EQ(Find(m, "444x")->state, RecipientState::kCancelled);
  EXPECT_EQ(Find(m, "444x")->tries, 4);
  EXPECT_EQ(Find(m, "555")->state, RecipientState::kSent);
  EXPECT_EQ(counts_[4], Variant{int64_t{0}});  // nothing queued
}

}  // namespace
}  // namespace mailvane
