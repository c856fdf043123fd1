#include "server/provider_page.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/json.hpp>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "common/allow_list.h"
#include "platform/console/console_secret.h"
#include "platform/console/testing/fake_console_server.h"
#include "platform/console/testing/http_client.h"
#include "platform/loop/asio_loop.h"
#include "platform/loop/testing/fake_timer.h"
#include "platform/registry/testing/fake_registry.h"
#include "platform/sms/sms_renderer.h"
#include "server/console_app.h"

namespace mailvane {
namespace {

namespace json = boost::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kWait[] = "/api/provider/test/wait";

json::object Parse(const ConsoleResponse& response) {
  return json::parse(response.body).as_object();
}

std::string Body(const ProviderSettings& settings) {
  json::object object;
  for (const ProviderValue& value : kProviderValues) object[value.name] = settings.*value.field;
  return json::serialize(object);
}

ProviderSettings Smpp() {
  ProviderSettings s;
  s.Protocol = "smpp";
  s.Host = "smsc.example";
  s.Port = "2776";
  s.SourceAddress = "Alerts";
  s.DeliveryReports = "1";
  s.Body = "kept \"as\" typed \\ too";  // another protocol's value is stored as well
  return s;
}

class ProviderPageTest : public ::testing::Test {
 protected:
  ProviderPageTest() {
    config_.AccessUserName = "acct";
    config_.AccessPassword = "s3cr3t";
    config_.MailServer = "127.0.0.1:2525";
    config_.ErrorMailAddress = "admin@example.com";
    auto timer = std::make_unique<FakeTimer>();
    deadline_ = timer.get();
    page_ = std::make_unique<ProviderPage>(ProviderPageEnvironment{
        server_, *loop_, registry_, config_, std::move(timer),
        [this](EventLoop& loop, const ProviderTest& test) { return Send(loop, test); }});
  }

  ~ProviderPageTest() override {
    try {
      answers_.set_value({});  // a worker still waiting, after a failed assertion
    } catch (const std::future_error&) {
    }
    page_.reset();
  }

  // The fake provider, on the worker thread: records the test, then answers once released, or,
  // when told to wait for a stop, once the worker's loop is stopped (as the SMPP session does).
  SendOutcome Send(EventLoop& loop, const ProviderTest& test) {
    std::future<SendOutcome> answer;
    {
      std::lock_guard lock(mutex_);
      tests_.push_back(test);
      if (!until_stopped_) answer = answers_.get_future();
    }
    if (until_stopped_) {
      auto work = boost::asio::make_work_guard(AsioContext(loop));
      AsioContext(loop).run();  // returns at once when already stopped
      return {0, ""};
    }
    return answer.get();
  }
  void Answer(SendOutcome result) { answers_.set_value(std::move(result)); }

  ConsoleResponse StartTest(const std::string& number, const std::string& text = "") {
    return server_.Call("POST", "/api/provider/test", {},
                        json::serialize(json::object{{"number", number}, {"text", text}}));
  }
  // Runs the loop until the page has signalled a change (a result came back).
  void AwaitSignal(int before) {
    while (server_.signals() == before) {
      loop_->Poll();
      std::this_thread::yield();
    }
  }

  std::unique_ptr<EventLoop> loop_ = NewEventLoop();
  FakeConsoleServer server_;
  FakeRegistry registry_;
  ConfigRecord config_;
  FakeTimer* deadline_ = nullptr;
  std::mutex mutex_;
  std::vector<ProviderTest> tests_;
  std::promise<SendOutcome> answers_;
  bool until_stopped_ = false;
  std::unique_ptr<ProviderPage> page_;
};

TEST_F(ProviderPageTest, RefusedSaveListsEveryProblemAndWritesNothing) {
  ProviderSettings bad_smpp = Smpp();
  bad_smpp.Host = "";
  bad_smpp.Port = "99999";
  ProviderSettings bad_http;
  bad_http.Protocol = "http";
  bad_http.Preset = "json-key";
  bad_http.Url = "ftp://api.example.com";
  struct Case {
    std::string body;
    int status;
    std::vector<std::string> problems;
  } cases[] = {
      {Body(bad_smpp),
       200,
       {"Host: the SMSC's host name or address is missing",
        "Port: \"99999\" is not a port number (1 to 65535)"}},
      {Body(bad_http),
       200,
       {"Url: \"ftp://api.example.com\" must start with https:// (or http://)"}},
      {"", 400, {}},
      {"[\"smpp\"]", 400, {}},
      {"{\"Port\":2775}", 400, {}},
      {"{\"Host\":\"a\\u0000b\"}", 400, {}},
  };
  for (const Case& c : cases) {
    ConsoleResponse answer = server_.Call("POST", "/api/provider/save", {}, c.body);
    EXPECT_EQ(answer.status, c.status) << c.body;
    if (c.status != 200) continue;
    json::object refused = Parse(answer);
    EXPECT_FALSE(refused.at("saved").as_bool());
    std::vector<std::string> problems;
    for (const json::value& p : refused.at("problems").as_array())
      problems.emplace_back(p.as_string());
    EXPECT_EQ(problems, c.problems) << c.body;
  }
  // The account is the record's: too long a password for SMPP refuses otherwise good values.
  config_.AccessPassword = "longer-than-8";
  json::object refused = Parse(server_.Call("POST", "/api/provider/save", {}, Body(Smpp())));
  EXPECT_THAT(refused.at("problems").as_array(),
              ElementsAre(json::value("AccessPassword: at most 8 characters for SMPP")));
  EXPECT_EQ(registry_.value_writes(), 0);
  EXPECT_FALSE(registry_.KeyExists(kProviderKey));
}

TEST_F(ProviderPageTest, SaveWritesEveryValueAndTheValuesComeBackWithoutThePassword) {
  registry_.SetStringValue(kProviderKey, "Url", "https://old.example");  // replaced by empty
  ConsoleResponse answer = server_.Call("POST", "/api/provider/save", {}, Body(Smpp()));
  json::object saved = Parse(answer);
  EXPECT_TRUE(saved.at("saved").as_bool());
  EXPECT_EQ(saved.at("message").as_object().at("text").as_string(), kRestartRequired);
  EXPECT_EQ(saved.at("message").as_object().at("title").as_string(), kRestartTitle);
  EXPECT_EQ(ReadProviderSettings(registry_), Smpp());
  EXPECT_EQ(registry_.GetRawValue(kProviderKey, "Timeout")->type, REG_SZ);

  ConsoleResponse shown = server_.Call("GET", "/api/provider");
  EXPECT_THAT(shown.body, Not(HasSubstr(config_.AccessPassword)));
  json::object values = Parse(shown).at("values").as_object();
  EXPECT_EQ(values.size(), std::size(kProviderValues));
  EXPECT_EQ(values.at("Body").as_string(), Smpp().Body);
  EXPECT_EQ(values.at("Url").as_string(), "");
  EXPECT_EQ(Parse(shown).at("accessUserName").as_string(), "acct");

  // A store that takes only some of the values is not reported as saved.
  ProviderSettings changed = Smpp();
  changed.Host = "smsc2.example";
  changed.Port = "2777";
  registry_.FailNthWrite(3);
  json::object partial = Parse(server_.Call("POST", "/api/provider/save", {}, Body(changed)));
  EXPECT_FALSE(partial.at("saved").as_bool());
  EXPECT_THAT(std::string(partial.at("problems").as_array()[0].as_string()),
              HasSubstr("could not all be written"));
}

// One test at a time, with the settings as saved, the record's account and the number typed.
TEST_F(ProviderPageTest, OneTestAtATimeWithTheSavedSettings) {
  registry_.SetStringValue(kProviderKey, "Protocol", "smpp");
  registry_.SetStringValue(kProviderKey, "Host", "saved.example");
  struct Refusal {
    std::string body;
    std::string error;
  } refusals[] = {
      {"{\"number\":\"  \"}", "Type the mobile number to send the test SMS to."},
      {json::serialize(json::object{{"number", std::string(kMaxTestNumberBytes + 1, '4')}}),
       "The number is too long: at most 32 characters."},
      {json::serialize(
           json::object{{"number", "4477"}, {"text", std::string(kMaxTestTextBytes + 1, 'x')}}),
       "The test text is too long: at most 640 bytes."},
      {"{\"text\":\"hi\"}", "The test request is not readable."},
  };
  for (const Refusal& r : refusals) {
    ConsoleResponse answer = server_.Call("POST", "/api/provider/test", {}, r.body);
    EXPECT_EQ(answer.status, 400) << r.body;
    EXPECT_EQ(Parse(answer).at("error").as_string(), r.error);
  }

  const std::string number(kMaxTestNumberBytes, '4');  // at the bounds: accepted
  ConsoleResponse started = StartTest(" " + number + " ", std::string(kMaxTestTextBytes, 'x'));
  ASSERT_EQ(started.status, 200) << started.body;
  const std::string id = std::to_string(Parse(started).at("test").as_int64());
  ConsoleResponse second = StartTest("447700900123");
  EXPECT_EQ(second.status, 409);
  EXPECT_EQ(Parse(second).at("error").as_string(), kTestUnderWay);
  EXPECT_TRUE(server_.Waiting("GET", kWait, {{"test", id}}));
  EXPECT_FALSE(Parse(server_.Call("GET", kWait, {{"test", id}})).at("done").as_bool());

  int before = server_.signals();
  Answer({kSmsProviderFailed, "SMPP bind_transceiver: ESME_RINVPASWD (0x0000000E)"});
  AwaitSignal(before);
  EXPECT_FALSE(server_.Waiting("GET", kWait, {{"test", id}}));
  json::object result = Parse(server_.Call("GET", kWait, {{"test", id}}));
  EXPECT_TRUE(result.at("done").as_bool());
  EXPECT_FALSE(result.at("sent").as_bool());
  EXPECT_EQ(result.at("text").as_string(),
            "Not sent: SMPP bind_transceiver: ESME_RINVPASWD (0x0000000E)");
  {
    std::lock_guard lock(mutex_);
    ASSERT_EQ(tests_.size(), 1u);
    const ProviderTest& test = tests_[0];
    EXPECT_EQ(test.settings.Host, "saved.example");
    EXPECT_EQ(std::tie(test.request.number, test.request.account, test.request.password,
                       test.request.mail_server, test.request.reply_address),
              std::tie(number, config_.AccessUserName, config_.AccessPassword, config_.MailServer,
                       config_.ErrorMailAddress));
    EXPECT_EQ(test.request.text.size(), kMaxTestTextBytes);
  }

  // Once the result is in, the next test runs; an empty text sends the default one.
  answers_ = {};
  ConsoleResponse next = StartTest("447700900123");
  ASSERT_EQ(next.status, 200);
  const std::string next_id = std::to_string(Parse(next).at("test").as_int64());
  before = server_.signals();
  Answer({0, ""});
  AwaitSignal(before);
  json::object sent = Parse(server_.Call("GET", kWait, {{"test", next_id}}));
  EXPECT_TRUE(sent.at("sent").as_bool());
  EXPECT_EQ(sent.at("text").as_string(), "Sent: the SMSC accepted the test SMS to 447700900123.");
  EXPECT_EQ(server_.Call("GET", kWait, {{"test", id}}).status, 404);  // an earlier test
  std::lock_guard lock(mutex_);
  EXPECT_EQ(tests_.back().request.text, kDefaultTestText);
}

// A provider that does not answer: the deadline answers for it and stops the worker's loop.
TEST_F(ProviderPageTest, DeadlineAnswersAndStopsTheTest) {
  until_stopped_ = true;
  ConsoleResponse started = StartTest("447700900123");
  ASSERT_EQ(started.status, 200);
  const std::string id = std::to_string(Parse(started).at("test").as_int64());
  EXPECT_EQ(deadline_->Interval(), kProviderTestDeadline.count());
  int before = server_.signals();
  ASSERT_TRUE(deadline_->Fire());
  EXPECT_FALSE(server_.Waiting("GET", kWait, {{"test", id}}));
  json::object result = Parse(server_.Call("GET", kWait, {{"test", id}}));
  EXPECT_EQ(result.at("text").as_string(),
            "Not sent: no answer from the provider in 60 s; the test was stopped.");
  // The stopped worker's late success is dropped; the next test waits until it has ended.
  EXPECT_EQ(Parse(StartTest("4477")).at("error").as_string(),
            "The previous test has not ended yet; try again in a moment.");
  AwaitSignal(before + 1);
  EXPECT_FALSE(Parse(server_.Call("GET", kWait, {{"test", id}})).at("sent").as_bool());
  EXPECT_FALSE(deadline_->Enabled());
  // A test still running when the page goes is stopped by its destructor, not waited out.
  ASSERT_EQ(StartTest("4477").status, 200);
  page_.reset();
}

// Through the real console: the routes need a session, and their POSTs the CSRF token.
TEST(ProviderPageConsoleTest, RoutesNeedSignInAndTheirPostsTheToken) {
  struct NoWindow : MainWindow {
    void SetCaption(const std::string&) override {}
    void SetLabel1(const std::string&) override {}
    void AddToList(const std::string&) override {}
  } main_window;
  ConfigRecord config;
  config.AccessUserName = "acct";
  config.AccessPassword = "s3cr3t";
  AllowList allow_list;
  FakeRegistry registry;
  WindowState state;
  MailvaneSettingsFrm settings(config, allow_list, registry, main_window);
  char pattern[] = "/tmp/provider_page_test_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::filesystem::path dir = pattern;
  ConsoleSetup setup{
      "127.0.0.1:0", (dir / "console.secret").string(), "", nullptr, nullptr, &registry, &config};
  std::unique_ptr<EventLoop> loop = NewEventLoop();
  std::string error;
  std::unique_ptr<Console> console = StartConsole(*loop, state, settings, setup, &error);
  ASSERT_NE(console, nullptr) << error;
  const uint16_t port = console->server->BoundPort();
  std::string secret;
  ASSERT_FALSE(LoadOrCreateConsoleSecret(setup.secret_path, &secret));
  std::thread serving([&] { loop->Run(); });

  using testing::Fetch;
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  auto login = Fetch(port, "POST", "/login", {{"Origin", origin}},
                     json::serialize(json::object{{"secret", secret}}));
  const std::string cookie =
      login.Header("set-cookie").substr(0, login.Header("set-cookie").find(';'));
  const std::string csrf(json::parse(login.body).as_object().at("csrf").as_string());
  const std::map<std::string, std::string> none,
      signed_in = {{"Cookie", cookie}}, no_token = {{"Cookie", cookie}, {"Origin", origin}},
      full = {{"Cookie", cookie}, {"Origin", origin}, {"X-CSRF-Token", csrf}};
  const std::string valid = Body(Smpp());
  struct Case {
    std::string method, target;
    const std::map<std::string, std::string>* headers;
    std::string body;
    int status;
  } cases[] = {
      {"GET", "/api/provider", &none, "", 401},
      {"POST", "/api/provider/save", &none, valid, 401},
      {"POST", "/api/provider/test", &none, "{\"number\":\"4477\"}", 401},
      {"GET", "/api/provider/test/wait?test=1", &none, "", 401},
      {"POST", "/api/provider/save", &no_token, valid, 403},
      {"POST", "/api/provider/test", &no_token, "{\"number\":\"4477\"}", 403},
      {"GET", "/api/provider", &signed_in, "", 200},
      {"POST", "/api/provider/save", &full, valid, 200},
  };
  std::vector<int> statuses;
  int writes_before_save = -1;
  for (const Case& c : cases) {
    if (c.status == 200 && c.method == "POST") writes_before_save = registry.value_writes();
    statuses.push_back(Fetch(port, c.method, c.target, *c.headers, c.body).status);
  }
  loop->Post([&] {
    console->server->Stop();
    loop->Stop();
  });
  serving.join();
  console.reset();
  std::filesystem::remove_all(dir);

  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(statuses[i], cases[i].status) << cases[i].method << " " << cases[i].target;
  }
  EXPECT_EQ(writes_before_save, 0);  // nothing refused wrote anything
  EXPECT_EQ(ReadProviderSettings(registry), Smpp());
}

}  // namespace
}  // namespace mailvane
