#include "server/mailvane_frm_svc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "common/scramble.h"
#include "mailvane_version.h"
#include "platform/automation/testing/fake_automation.h"
#include "platform/files/testing/fake_file_system.h"
#include "platform/files/testing/fake_spool_writer.h"
#include "platform/loop/testing/fake_clock.h"
#include "platform/loop/testing/fake_timer.h"
#include "platform/mail/testing/fake_mail.h"
#include "platform/registry/testing/fake_registry.h"
#include "platform/service/testing/fake_service_control.h"

namespace mailvane {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr char kKey[] = "SOFTWARE\\Mailvane";

// The listener as start-up drives it.
class FakeListener final : public SmtpServer {
 public:
  explicit FakeListener(std::vector<std::string>* calls) : calls_(calls) {}
  void SetPort(int16_t port) override { calls_->push_back("SetPort " + std::to_string(port)); }
  void SetClosingText(const std::string& text) override { calls_->push_back("Closing " + text); }
  void SetGreetingText(const std::string& text) override { calls_->push_back("Greeting " + text); }
  std::error_code Start() override {
    calls_->push_back("Start");
    return {};
  }
  void Stop() override { calls_->push_back("Stop"); }
  uint16_t BoundPort() const override { return 0; }

 private:
  std::vector<std::string>* calls_;
};

class ServiceWindowTest : public ::testing::Test {
 protected:
  ServiceWindowTest() : files_(&clock_) {
    files_.AddFolder("/opt");
    files_.AddFolder("/opt/mailvane");
    files_.AddFolder("/srv");
    files_.AddFolder("/srv/mv");
    objects_.AddProgram(kHandlerProgId);
  }

  void Configure(std::map<std::string, std::string> overrides = {}) {
    std::map<std::string, std::string> values = {{"MailServer", "127.0.0.1:2525"},
                                                 {"LogDir", "/srv/mv"},
                                                 {"ErrorMailAddress", "admin@example.com"},
                                                 {"InternalPort", "2525"},
                                                 {"ErrorMailName", "Admin"},
                                                 {"MailFromAddress", "gw@example.com"},
                                                 {"AccessUserName", "acct"},
                                                 {"AccessPassword", ScramblePassword("pw")},
                                                 {"MessageExpiry", "60"},
                                                 {"MaxLength", "160"},
                                                 {"AllowedIP", "127.0.0.1"},
                                                 {"ForwardOK", "1"},
                                                 {"StripCRLF", "1"},
                                                 {"LogDays", "30"}};
    for (auto& [name, value] : overrides) values[name] = value;
    for (auto& [name, value] : values) registry_.SetStringValue(kKey, name, value);
  }

  MailvaneFrmSvc& Window() {
    if (!window_) {
      window_ = std::make_unique<MailvaneFrmSvc>(ServerEnvironment{
          registry_, files_, clock_, mail_, service_, objects_, spool_, timer1_, handler_timer_,
          wake_timer_,
          [this](SmtpEvents&) { return std::make_unique<FakeListener>(&listener_calls_); },
          "/opt/mailvane", [this](int code) { exit_codes_.push_back(code); },
          [this](const std::string& line) { echoed_.push_back(line); }});
    }
    return *window_;
  }

  std::vector<std::string> ListTexts() {
    std::vector<std::string> texts;
    for (const std::string& line : Window().window().lines()) texts.push_back(line.substr(15));
    return texts;
  }

  std::vector<std::string> Members() const {
    std::vector<std::string> members;
    for (const auto& call : objects_.calls()) members.push_back(call.member);
    return members;
  }

  // Creations of the handler tried so far, whether they succeeded or not.
  int CreationsTried() const {
    return static_cast<int>(
        std::count_if(objects_.timeline().begin(), objects_.timeline().end(),
                      [](const std::string& entry) { return entry.starts_with("create "); }));
  }

  // Steps the clock a second at a time, delivering the handler timer's ticks, until a creation
  // is tried; the seconds that took, or -1 when none came within the longest delay.
  int SecondsToNextCreation() {
    const int before = CreationsTried();
    for (int seconds = 1; seconds <= kHandlerRestartLongestDelay.count() + 1; ++seconds) {
      clock_.Advance(std::chrono::seconds(1));
      handler_timer_.Fire();
      if (CreationsTried() > before) return seconds;
    }
    return -1;
  }

  int Count(const std::string& text) {
    std::vector<std::string> texts = ListTexts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }

  // Delivers a mail through the listener event; returns the reply.
  SmtpReply Receive(const std::string& text, const std::string& recipients = "447700900123") {
    SmtpReply reply{0, ""};
    SmtpMessage message;
    message.recipient_text = recipients;
    message.text = text;
    message.byte_count = static_cast<uint32_t>(text.size());
    Window().MailReceived({"127.0.0.1", 1}, message, [&](SmtpReply r) { reply = r; });
    return reply;
  }

  FakeClock clock_{{2009, 12, 5, 9, 7, 3}};
  FakeRegistry registry_;
  FakeFileSystem files_;
  FakeMailFactory mail_;
  FakeServiceControl service_;
  FakeObjectFactory objects_;
  FakeSpoolWriter spool_;
  FakeTimer timer1_;
  FakeTimer handler_timer_;
  FakeTimer wake_timer_;
  std::vector<std::string> listener_calls_;
  std::vector<int> exit_codes_;
  std::vector<std::string> echoed_;
  std::unique_ptr<MailvaneFrmSvc> window_;
};

TEST_F(ServiceWindowTest, FirstRunInitialisesLoadsAgainAndStartsEverythingInOrder) {
  Window().Form_Load("");
  EXPECT_TRUE(exit_codes_.empty());
  EXPECT_EQ(registry_.GetRawValue(kKey, "InternalPort")->data, std::string("25\0", 3));
  EXPECT_EQ(Window().config().LogDir, "/opt/mailvane/");
  EXPECT_EQ(Window().config().AccessPassword, "pinewarden");
  EXPECT_EQ(Window().window().label1(), kFirstRunNotice);
  EXPECT_EQ(Window().window().caption(), std::string("Mailvane - ") + kVersionText);
  EXPECT_THAT(ListTexts(),
              ElementsAre("Started Vanequeue 1...", "Starting SMTP server on port 25"));
  EXPECT_EQ(Window().window().lines()[0], "05/12 09:07:03 Started Vanequeue 1...");
  EXPECT_THAT(Members(), ElementsAre("AllocateId"));
  EXPECT_EQ(std::get<int64_t>(objects_.calls()[0].args[0]), 1);
  EXPECT_THAT(listener_calls_, ElementsAre("SetPort 25", "Closing Bye from the Mailvane",
                                           "Greeting Hi, from the Mailvane", "Start"));
  EXPECT_TRUE(timer1_.Enabled());
  EXPECT_EQ(timer1_.Interval(), 65535);
  EXPECT_EQ(service_.controls_accepted(), 2);
  EXPECT_TRUE(service_.started());
  EXPECT_EQ(echoed_.size(), 2u);
}

TEST_F(ServiceWindowTest, CommandLineOptionsEndBeforeAnythingIsLoaded) {
  struct Case {
    std::string args;
    bool install_result;
    std::vector<std::string> events;
  } cases[] = {
      {"-install", true, {}},
      {"-install", false, {"[Failed to install]"}},
      {"-uninstall", true, {}},
      {"-uninstall", false, {"[Failed to uninstall]"}},
      {"-Install", true, {"[Invalid command option]"}},
      {"-debug -debug", true, {"[Invalid command option]"}},
  };
  for (const Case& c : cases) {
    FakeServiceControl service;
    service.set_install_result(c.install_result);
    service.set_uninstall_result(c.install_result);
    FakeRegistry registry;
    std::vector<int> exits;
    MailvaneFrmSvc window(ServerEnvironment{
        registry, files_, clock_, mail_, service, objects_, spool_, timer1_, handler_timer_,
        wake_timer_,
        [this](SmtpEvents&) { return std::make_unique<FakeListener>(&listener_calls_); },
        "/opt/mailvane", [&](int code) { exits.push_back(code); }, nullptr});
    window.Form_Load(c.args);
    std::vector<std::string> texts;
    for (const auto& event : service.events_logged()) {
      EXPECT_EQ(event.type, 1);
      EXPECT_EQ(event.id, 109);
      texts.push_back(event.text);
    }
    EXPECT_EQ(texts, c.events) << c.args;
    ASSERT_EQ(exits.size(), 1u) << c.args;
    EXPECT_EQ(exits[0] == 0, c.events.empty()) << c.args;
    EXPECT_FALSE(registry.KeyExists(kKey)) << c.args;
    EXPECT_FALSE(service.started()) << c.args;
    bool stored = !service.settings().empty();
    EXPECT_EQ(stored, c.args == "-install" && c.install_result) << c.args;
  }
  EXPECT_TRUE(objects_.calls().empty());
  EXPECT_TRUE(listener_calls_.empty());
}

TEST_F(ServiceWindowTest, DebugStartsLikeAPlainStart) {
  Configure();
  Window().Form_Load("-debug");
  EXPECT_TRUE(service_.debug());
  EXPECT_THAT(ListTexts(),
              ElementsAre("Started Vanequeue 1...", "Starting SMTP server on port 2525"));
}

TEST_F(ServiceWindowTest, AFailedServiceConnectionLeavesTheWindowIdle) {
  Configure();
  service_.set_start_service_result(std::make_error_code(std::errc::connection_refused));
  Window().Form_Load("");
  ASSERT_EQ(service_.events_logged().size(), 1u);
  EXPECT_THAT(service_.events_logged()[0].text, HasSubstr("[462] "));
  EXPECT_TRUE(exit_codes_.empty());  // idle, not ended
  EXPECT_TRUE(objects_.calls().empty());
  EXPECT_TRUE(listener_calls_.empty());
  EXPECT_FALSE(timer1_.Enabled());
}

TEST_F(ServiceWindowTest, APortOutOfRangeMailsTheErrorAndEndsWithoutStoppingTheHandler) {
  Configure({{"InternalPort", "40000"}});
  Window().Form_Load("");
  ASSERT_EQ(mail_.sent().size(), 1u);
  EXPECT_EQ(mail_.sent()[0].subject, "Mailvane Error 1");
  EXPECT_EQ(mail_.sent()[0].body, "Overflow");
  EXPECT_EQ(mail_.sent()[0].recipients[0].address, "admin@example.com");
  EXPECT_EQ(mail_.sent()[0].recipients[0].name, "Admin");
  EXPECT_EQ(mail_.sent()[0].from, "Mailvane");
  EXPECT_THAT(exit_codes_, ElementsAre(kExitConfigFailure));
  EXPECT_THAT(Members(), ElementsAre("AllocateId"));  // no StopProcess
  EXPECT_FALSE(timer1_.Enabled());
}

TEST_F(ServiceWindowTest, AHandlerThatCannotBeCreatedIsAStartupError) {
  Configure();
  objects_.FailCreation(kHandlerProgId);
  Window().Form_Load("");
  ASSERT_EQ(mail_.sent().size(), 1u);
  EXPECT_EQ(mail_.sent()[0].body, "ActiveX component can't create object");
  EXPECT_TRUE(ListTexts().empty());
  EXPECT_THAT(exit_codes_, ElementsAre(kExitConfigFailure));
}

TEST_F(ServiceWindowTest, AFailedStartupMailIsRecordedTwiceInTheLogAndOnceInTheList) {
  Configure({{"InternalPort", "x"}});
  mail_.SetDefaultSendResult({9, "refused"});
  Window().Form_Load("");
  std::vector<std::string> texts = ListTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[1], "05/12/2009 09:07:03 Cannot send mail....9");
  std::string log = *files_.Contents("/srv/mv/20091205.log");
  size_t first = log.find("Cannot send mail....9");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(log.find("Cannot send mail....9", first + 1), std::string::npos);
}

TEST_F(ServiceWindowTest, StopUnloadsInOrderAndPauseAndContinueChangeNothing) {
  Configure();
  Window().Form_Load("");
  EXPECT_TRUE(service_.DeliverPause());
  EXPECT_TRUE(service_.DeliverContinue());
  EXPECT_EQ(ListTexts().size(), 2u);
  EXPECT_TRUE(Window().listening());
  service_.DeliverStop();
  EXPECT_THAT(listener_calls_, ::testing::Contains("Stop"));
  EXPECT_THAT(Members(), ElementsAre("AllocateId", "StopProcess"));
  EXPECT_EQ(objects_.live_objects(), 0);
  EXPECT_FALSE(Window().listening());
  EXPECT_THAT(exit_codes_, ElementsAre(0));
}

TEST_F(ServiceWindowTest, TheActivityListIsCappedByClearingIt) {
  Configure();
  Window().Form_Load("");
  for (size_t i = Window().window().lines().size(); i < kActivityListCap; ++i) {
    Window().AddToList("line");
  }
  EXPECT_EQ(Window().window().lines().size(), kActivityListCap);
  Window().AddToList("");
  ASSERT_EQ(Window().window().lines().size(), 1u);
  EXPECT_EQ(Window().window().lines()[0], "05/12 09:07:03 ");  // the prefix alone
}

TEST_F(ServiceWindowTest, ThePrefixCarriesDayMonthAndTimeWithoutTheYear) {
  Configure();
  Window().Form_Load("");
  clock_.Set({2026, 12, 31, 23, 59, 59});
  Window().AddToList("late");
  clock_.Set({2027, 1, 1, 0, 0, 0});
  Window().AddToList("early");
  const auto& lines = Window().window().lines();
  EXPECT_EQ(lines[lines.size() - 2], "31/12 23:59:59 late");
  EXPECT_EQ(lines.back(), "01/01 00:00:00 early");
  EXPECT_THAT(*files_.Contents("/srv/mv/20270101.log"), ::testing::EndsWith("00:00:00 early\r\n"));
}

TEST_F(ServiceWindowTest, AdmissionFollowsTheAllowList) {
  Configure({{"AllowedIP", "127.0.0.1, 10.0.0.0/255.0.0.0"}});
  Window().Form_Load("");
  size_t before = ListTexts().size();
  EXPECT_TRUE(Window().Connecting({"127.0.0.1", 1}));
  EXPECT_TRUE(Window().Connecting({"10.9.8.7", 2}));
  EXPECT_EQ(ListTexts().size(), before);
  EXPECT_FALSE(Window().Connecting({"192.168.1.1", 3}));
  EXPECT_EQ(ListTexts().back(), "Illegal IP 192.168.1.1 rejected...");
}

TEST_F(ServiceWindowTest, EachMailGetsItsOwnCompleteSpoolFileBeforeItsAnswer) {
  Configure();
  files_.AddFolder("/srv/mv/messages");
  Window().Form_Load("");
  SmtpReply first = Receive("Subject: a\r\n\r\nbody a", "447700900123, bob@example.com");
  SmtpReply second = Receive("Subject: b\r\n\r\nbody b");
  EXPECT_EQ(first.code, 250);
  EXPECT_EQ(second.code, 250);
  EXPECT_THAT(ListTexts(),
              ::testing::Contains("+++Received from 127.0.0.1 to 447700900123, bob@example.com..."
                                  "20 bytes"));
  // 09:07:03 on 5 December 2009: the counter keeps the names of one second apart.
  EXPECT_EQ(spool_.files().at("/srv/mv/messages/2009125973.1.msg"), "Subject: a\r\n\r\nbody a\r\n");
  EXPECT_EQ(spool_.files().at("/srv/mv/messages/2009125973.2.msg"), "Subject: b\r\n\r\nbody b\r\n");
  EXPECT_EQ(spool_.last_names().back(), ".2009125973.2.msg.tmp>2009125973.2.msg");
}

TEST_F(ServiceWindowTest, ANameThatIsTakenIsNeverAppendedTo) {
  Configure();
  files_.AddFolder("/srv/mv/messages");
  // What an earlier run left: listed at start-up, and found taken by the spool writer.
  for (std::string name : {"2009125973.1.msg", "2009125973.2.msg.done"}) {
    files_.AddFile("/srv/mv/messages/" + name, "an earlier run's");
    spool_.AddFile("/srv/mv/messages/" + name, "an earlier run's");
  }
  Window().Form_Load("");
  EXPECT_EQ(Receive("mail").code, 250);
  EXPECT_EQ(spool_.files().at("/srv/mv/messages/2009125973.1.msg"), "an earlier run's");
  EXPECT_EQ(spool_.files().count("/srv/mv/messages/2009125973.2.msg"), 0u);
  EXPECT_EQ(spool_.files().at("/srv/mv/messages/2009125973.3.msg"), "mail\r\n");
  EXPECT_EQ(Window().spool_counter(), 3);
  // Past the counters the folder held, a spool file that is there all the same is passed over.
  spool_.AddFile("/srv/mv/messages/2009125973.4.msg", "someone else's");
  EXPECT_EQ(Receive("next").code, 250);
  EXPECT_EQ(spool_.files().at("/srv/mv/messages/2009125973.4.msg"), "someone else's");
  EXPECT_EQ(spool_.files().at("/srv/mv/messages/2009125973.5.msg"), "next\r\n");

  // A folder that answers every name as taken: a bounded number of names, then a 451.
  const int writes = spool_.writes();
  spool_.FailAllWrites(std::error_code(EEXIST, std::generic_category()));
  EXPECT_EQ(Receive("never").code, 451);
  EXPECT_EQ(spool_.writes() - writes, kSpoolNameAttempts);
  EXPECT_EQ(Window().spool_counter(), 5 + kSpoolNameAttempts);
}

TEST_F(ServiceWindowTest, StartupRemovesFilesACrashedRunLeftHalfWritten) {
  Configure();
  files_.AddFolder("/srv/mv/messages");
  files_.AddFile("/srv/mv/messages/.2009125973.4.msg.tmp", "half a mail");
  files_.AddFile("/srv/mv/messages/2009125973.3.msg", "a whole mail");
  files_.AddFile("/srv/mv/messages/2009125973.3.msg.done", "1:");
  files_.AddFile("/srv/mv/messages/2009125973.3.msg.env", "447700900123\n");
  files_.AddFile("/srv/mv/messages/.2009125973.4.msg.env.tmp", "half a record");
  files_.AddFile("/srv/mv/messages/2009125973.5.msg.env", "its spool file never came");
  files_.AddFile("/srv/mv/messages/.2009125973.3.msg.done.tmp", "the handler's to remove");
  Window().Form_Load("");
  EXPECT_EQ(files_.FileNames("/srv/mv/messages"),
            (std::vector<std::string>{".2009125973.3.msg.done.tmp", "2009125973.3.msg",
                                      "2009125973.3.msg.done", "2009125973.3.msg.env"}));
}

TEST_F(ServiceWindowTest, TheEnvelopeRecordWhereNeededAndTheSpoolFileAreOneWriteRecordFirst) {
  Configure();
  Window().Form_Load("");
  spool_.HoldCompletions(true);
  SmtpReply reply{0, ""};
  SmtpMessage message;
  message.text = "To: 447700900123";
  message.recipients = {"447700900123", "+447700900999"};
  Window().MailReceived({"127.0.0.1", 1}, message, [&](SmtpReply r) { reply = r; });
  EXPECT_EQ(spool_.files().at("/srv/mv/messages/2009125973.1.msg.env"),
            "447700900123\n+447700900999\n");
  EXPECT_THAT(spool_.last_names(), ElementsAre(".2009125973.1.msg.env.tmp>2009125973.1.msg.env",
                                               ".2009125973.1.msg.tmp>2009125973.1.msg"));
  EXPECT_EQ(reply.code, 0);
  EXPECT_TRUE(objects_.posts().empty());  // not before the 250
  spool_.ReleaseCompletions();
  EXPECT_EQ(reply.code, 250);
  spool_.HoldCompletions(false);
  EXPECT_EQ(spool_.writes(), 1);

  // Headers that name every envelope recipient: the spool file alone.
  message.text = "To: 447700900123, Alerts <+447700900999>\r\n\r\nbody";
  Window().MailReceived({"127.0.0.1", 1}, message, [&](SmtpReply r) { reply = r; });
  EXPECT_EQ(reply.code, 250);
  EXPECT_THAT(spool_.last_names(), ElementsAre(".2009125973.2.msg.tmp>2009125973.2.msg"));

  // A failed write: 451, and the handler is not woken for it.
  const size_t wakes = objects_.posts().size();
  spool_.FailWriteNumber(3);
  EXPECT_EQ(Receive("mail").code, 451);
  EXPECT_EQ(objects_.posts().size(), wakes);
  size_t spool_files = 0;
  for (const auto& [path, data] : spool_.files()) spool_files += path.ends_with(".msg");
  EXPECT_EQ(spool_files, 2u);
}

TEST_F(ServiceWindowTest, MailsSpooledTogetherShareOneWakeOfTheHandler) {
  std::vector<std::function<void()>> posted;
  window_ = std::make_unique<MailvaneFrmSvc>(ServerEnvironment{
      registry_, files_, clock_, mail_, service_, objects_, spool_, timer1_, handler_timer_,
      wake_timer_, [this](SmtpEvents&) { return std::make_unique<FakeListener>(&listener_calls_); },
      "/opt/mailvane", [this](int code) { exit_codes_.push_back(code); }, nullptr,
      [&](std::function<void()> run) { posted.push_back(std::move(run)); }});
  Configure();
  Window().Form_Load("");
  spool_.HoldCompletions(true);
  std::vector<int> codes;
  SmtpMessage message;
  message.text = "mail";
  for (int i = 0; i < 3; ++i)
    Window().MailReceived({"127.0.0.1", 1}, message, [&](SmtpReply r) { codes.push_back(r.code); });
  spool_.ReleaseCompletions();  // one group's completions, in one turn
  EXPECT_THAT(codes, ElementsAre(250, 250, 250));
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_TRUE(objects_.posts().empty());
  posted[0]();
  ASSERT_EQ(objects_.posts().size(), 1u);
  EXPECT_EQ(objects_.posts()[0].member, "Wake");
  // Mails spooled within the gap after a wake share the one its end brings; a gap that brought
  // none closes, and the next mail wakes the handler without waiting.
  spool_.HoldCompletions(false);
  EXPECT_EQ(Receive("mail").code, 250);
  EXPECT_EQ(Receive("mail").code, 250);
  EXPECT_EQ(posted.size(), 1u);
  EXPECT_EQ(objects_.posts().size(), 1u);
  ASSERT_TRUE(wake_timer_.Fire());
  EXPECT_EQ(objects_.posts().size(), 2u);
  ASSERT_TRUE(wake_timer_.Fire());
  EXPECT_FALSE(wake_timer_.Enabled());
  // A handler that does not take it (gone, or not reading) costs the mail nothing: it was
  // answered already and the handler's scan finds its file.
  objects_.DropPosts(true);
  EXPECT_EQ(Receive("mail").code, 250);
  ASSERT_EQ(posted.size(), 2u);
  posted[1]();
  EXPECT_EQ(objects_.posts().size(), 2u);
}

TEST_F(ServiceWindowTest, AMailThatCannotBeSpooledGetsATemporaryFailure) {
  Configure();
  Window().Form_Load("");
  spool_.FailWriteNumber(1, std::make_error_code(std::errc::no_space_on_device));
  SmtpReply reply = Receive("mail");
  EXPECT_EQ(reply.code, 451);
  EXPECT_THAT(ListTexts().back(), HasSubstr("!!!Cannot write spool file /srv/mv/messages/"));
  EXPECT_TRUE(exit_codes_.empty());
  EXPECT_EQ(Receive("again").code, 250);  // the next one goes through
}

TEST_F(ServiceWindowTest, CountersFollowTheMailAndTheHandlersCountsSurviveItsRestart) {
  Configure();
  Window().Form_Load("");
  EXPECT_EQ(HealthProblem(Window().metrics()), "");
  Window().Connecting({"192.168.1.1", 3});
  Receive("one");
  spool_.FailAllWrites();
  EXPECT_EQ(Receive("two").code, 451);
  for (const char* reply : {"552 5.3.4 Message too big", "550 5.6.0 Bare <CR> in message text",
                            "421 4.7.0 Too many errors", "421 4.4.2 mv Error: timeout exceeded",
                            "503 5.5.1 Error: need RCPT command"}) {
    Window().Refused({"127.0.0.1", 4}, reply);
  }
  // sms sent, failed, forwards, error mails, queued, oldest seconds
  objects_.RaiseEvent(kHandlerProgId, "Counts",
                      {int64_t{5}, int64_t{2}, int64_t{1}, int64_t{1}, int64_t{3}, 4.5});
  objects_.RaiseEvent(kHandlerProgId, "Counts", {int64_t{-1}, "bad"});  // ignored
  GatewayMetrics before = Window().metrics();
  EXPECT_EQ(before.mails_received, 2);
  EXPECT_EQ(before.refused, (std::array<int64_t, kRefusedReasons>{1, 1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(before.handler.sms_sent, 5);
  EXPECT_EQ(before.handler.queue_messages, 3);
  EXPECT_DOUBLE_EQ(before.handler.queue_oldest_seconds, 4.5);

  objects_.EndProgram(kHandlerProgId);
  EXPECT_EQ(HealthProblem(Window().metrics()), "handler not running (restarting)");
  EXPECT_EQ(SecondsToNextCreation(), 1);
  // The second handler says more: outcomes and the provider's state.
  objects_.RaiseEvent(kHandlerProgId, "Counts",
                      {int64_t{1}, int64_t{0}, int64_t{0}, int64_t{0}, int64_t{0}, 0.0, int64_t{2},
                       int64_t{3}, int64_t{0}, "smpp h:1 since then (refused)", int64_t{4},
                       int64_t{1}, int64_t{0}, int64_t{2}});
  GatewayMetrics after = Window().metrics();
  EXPECT_EQ(after.handler.receipts, (std::array<int64_t, 4>{4, 1, 0, 2}));
  EXPECT_EQ(after.handler.sms_failed_permanently, 2);
  EXPECT_EQ(after.handler.sms_given_up, 3);
  EXPECT_EQ(HealthText(after), "ok; provider down: smpp h:1 since then (refused)");
  EXPECT_EQ(after.handler.sms_sent, 6);  // the first handler's five go on
  EXPECT_EQ(after.handler.sms_attempts_failed, 2);
  EXPECT_EQ(after.handler.forwards, 1);
  EXPECT_EQ(after.handler.error_mails, 1);
  EXPECT_EQ(after.handler.queue_messages, 0);
  EXPECT_EQ(after.handler_restarts, 1);
  EXPECT_TRUE(after.handler_up);
  Window().Form_Unload();
  EXPECT_EQ(HealthProblem(Window().metrics()), "listener not listening; handler not running");
}

TEST_F(ServiceWindowTest, TheAnswerWaitsForTheWriteToComplete) {
  Configure();
  Window().Form_Load("");
  spool_.HoldCompletions(true);
  SmtpReply reply{0, ""};
  SmtpMessage message;
  message.text = "mail";
  Window().MailReceived({"127.0.0.1", 1}, message, [&](SmtpReply r) { reply = r; });
  EXPECT_EQ(reply.code, 0);  // not answered while the file is not durable
  spool_.ReleaseCompletions();
  EXPECT_EQ(reply.code, 250);
}

constexpr char kEnded[] = "Vanequeue 1 ended unexpectedly...restarting";
constexpr char kStarted[] = "Started Vanequeue 1...";

TEST_F(ServiceWindowTest, AHandlerThatEndsComesBackAfterADelayThatDoublesUntilItLivesTenMinutes) {
  Configure();
  Window().Form_Load("");
  // {seconds the handler lives, delay before the next one}
  const std::pair<int, int> expected[] = {{0, 1},     {0, 2},   {0, 4},   {0, 8},   {0, 16},
                                          {0, 32},    {0, 64},  {0, 128}, {0, 256}, {0, 300},
                                          {599, 300}, {600, 1}, {0, 2}};
  int restarts = 0;
  for (auto [lived, delay] : expected) {
    clock_.Advance(std::chrono::seconds(lived));
    ASSERT_EQ(objects_.EndProgram(kHandlerProgId), 1);
    EXPECT_FALSE(Window().handler_up());
    EXPECT_EQ(objects_.live_objects(), 0);  // the ended one is released at once
    EXPECT_EQ(handler_timer_.Interval(), std::min(delay * 1000, 65535));
    EXPECT_EQ(SecondsToNextCreation(), delay) << "restart " << restarts + 1;
    EXPECT_TRUE(Window().handler_up());
    EXPECT_EQ(Window().handler_restarts(), ++restarts);
  }
  EXPECT_EQ(Count(kEnded), restarts);
  EXPECT_EQ(Count(kStarted), restarts + 1);
  EXPECT_EQ(Members(), std::vector<std::string>(restarts + 1, "AllocateId"));
  for (const auto& call : objects_.calls()) EXPECT_EQ(call.args, std::vector<Variant>{int64_t{1}});
  EXPECT_TRUE(exit_codes_.empty());
}

TEST_F(ServiceWindowTest, AFailedRestartIsListedAndTriedAgainAfterTheNextDelay) {
  for (bool creation_fails : {true, false}) {  // else AllocateId fails
    window_.reset();
    Configure();
    Window().Form_Load("");
    objects_.EndProgram(kHandlerProgId);
    if (creation_fails) objects_.FailCreation(kHandlerProgId);
    objects_.SetResult(
        kHandlerProgId, "AllocateId",
        creation_fails ? CallResult{} : CallResult{5, "Invalid procedure call", "", {}});
    EXPECT_EQ(SecondsToNextCreation(), 1);
    EXPECT_EQ(SecondsToNextCreation(), 2);
    EXPECT_FALSE(Window().handler_up());
    EXPECT_EQ(objects_.live_objects(), 0);
    EXPECT_EQ(ListTexts().back(),
              creation_fails ? "!!!Vanequeue 1 could not be restarted ([429] ActiveX component "
                               "can't create object)...retrying in 4 s"
                             : "!!!Vanequeue 1 could not be restarted ([5] Invalid procedure "
                               "call)...retrying in 4 s");
    objects_.AddProgram(kHandlerProgId);
    objects_.SetResult(kHandlerProgId, "AllocateId", {});
    EXPECT_EQ(SecondsToNextCreation(), 4);
    EXPECT_TRUE(Window().handler_up());
    EXPECT_EQ(Window().handler_restarts(), 1);
    EXPECT_TRUE(exit_codes_.empty());
  }
}

TEST_F(ServiceWindowTest, MailIsTakenWhileARestartingHandlerIsNotReadyYet) {
  for (bool ready : {true, false}) {  // else the creation fails once the program has started
    SCOPED_TRACE(ready);
    window_.reset();
    Configure();
    Window().Form_Load("");
    objects_.EndProgram(kHandlerProgId);
    objects_.HoldStarts(true);
    clock_.Advance(kHandlerRestartFirstDelay);
    handler_timer_.Fire();
    EXPECT_EQ(objects_.timeline().back(), std::string("start held ") + kHandlerProgId);
    EXPECT_FALSE(Window().handler_up());
    EXPECT_EQ(Count(kStarted), 1);  // the first handler's only
    const size_t spooled = spool_.files().size();
    EXPECT_EQ(Receive("Subject: meanwhile\r\n\r\nbody").code, 250);
    EXPECT_EQ(spool_.files().size(), spooled + 1);
    if (!ready) objects_.FailCreation(kHandlerProgId);
    EXPECT_EQ(objects_.ReadyHeldStarts(), 1);
    EXPECT_EQ(Window().handler_up(), ready);
    EXPECT_EQ(Count(kStarted), ready ? 2 : 1);
    EXPECT_EQ(Window().handler_restarts(), ready ? 1 : 0);
    if (!ready) {
      EXPECT_THAT(ListTexts().back(), HasSubstr("could not be restarted ([429]"));
    }
    objects_.HoldStarts(false);
    objects_.AddProgram(kHandlerProgId);
  }
}

TEST_F(ServiceWindowTest, NoRestartDuringOrAfterShutdownNorAfterAnAbruptEnd) {
  enum class When { kStopProcessEndsIt, kStopWhileARestartWaits, kAfterAnAbruptEnd };
  for (When when :
       {When::kStopProcessEndsIt, When::kStopWhileARestartWaits, When::kAfterAnAbruptEnd}) {
    SCOPED_TRACE(static_cast<int>(when));
    window_.reset();
    Configure({{"InternalPort", when == When::kAfterAnAbruptEnd ? "40000" : "2525"}});
    objects_.SetMethod(kHandlerProgId, "StopProcess", [this](const std::vector<Variant>&) {
      objects_.EndProgram(kHandlerProgId);
      return CallResult{462, "gone", "", {}};
    });
    const int tried_before = CreationsTried();
    Window().Form_Load("");
    if (when == When::kStopWhileARestartWaits) objects_.EndProgram(kHandlerProgId);
    if (when == When::kAfterAnAbruptEnd) {
      objects_.EndProgram(kHandlerProgId);
    } else {
      service_.DeliverStop();
    }
    EXPECT_EQ(SecondsToNextCreation(), -1);
    EXPECT_EQ(CreationsTried() - tried_before, 1);
    EXPECT_EQ(Count(kEnded), when == When::kStopWhileARestartWaits ? 1 : 0);
    EXPECT_FALSE(Window().handler_up());
    EXPECT_EQ(Window().handler_restarts(), 0);
  }
}

}  // namespace
}  // namespace mailvane
