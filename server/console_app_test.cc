#include "server/console_app.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <filesystem>
#include <thread>

#include "common/allow_list.h"
#include "common/config.h"
#include "common/scramble.h"
#include "mailvane_version.h"
#include "platform/console/console_secret.h"
#include "platform/console/testing/fake_console_server.h"
#include "platform/console/testing/http_client.h"
#include "platform/registry/testing/fake_registry.h"

namespace mailvane {
namespace {

namespace json = boost::json;
using ::testing::HasSubstr;

// The server's main window as the dialog sees it, drawn from the window state.
class StateWindow : public MainWindow {
 public:
  explicit StateWindow(WindowState& state) : state_(state) {}
  void SetCaption(const std::string& caption) override { state_.SetCaption(caption); }
  void SetLabel1(const std::string& text) override { state_.SetLabel1(text); }
  void AddToList(const std::string& text) override { state_.AddLine("01/01 00:00:00 " + text); }

 private:
  WindowState& state_;
};

json::object Parse(const ConsoleResponse& response) {
  return json::parse(response.body).as_object();
}

std::vector<std::string> Lines(const json::object& answer) {
  std::vector<std::string> lines;
  for (const json::value& line : answer.at("lines").as_array()) {
    lines.emplace_back(line.as_string());
  }
  return lines;
}

std::string ValidSave(const std::string& allowed_ip = "127.0.0.1") {
  return json::serialize(json::object{
      {"listeningPort", "25"},
      {"mailServer", "smtp.example.com"},
      {"accessUserName", "account"},
      {"accessPassword", "pw"},
      {"mailFromAddress", ""},
      {"errorMailAddress", "admin@example.com"},
      {"errorMailName", "Admin"},
      {"confirmPassword", "pw"},
      {"messageExpiry", "60"},
      {"maxLength", "160"},
      {"allowedIps", allowed_ip},
      {"allowForwarding", true},
      {"stripCrLf", 0},
  });
}

class ConsoleAppTest : public ::testing::Test {
 protected:
  ConsoleAppTest() {
    registry_.CreateKey(kSettingsKey);
    config_.InternalPort = "25";
    config_.AccessPassword = "plain pw";
    config_.AllowedIP = "127.0.0.1";
    config_.ForwardOK = "0";
    state_.SetCaption(std::string("Mailvane - ") + kVersionText);
    state_.SetLabel1(kFirstRunNotice);
  }

  WindowState state_;
  StateWindow window_{state_};
  ConfigRecord config_;
  AllowList allow_list_;
  FakeRegistry registry_;
  MailvaneSettingsFrm settings_{config_, allow_list_, registry_, window_};
  FakeConsoleServer server_;
  ConsoleApp app_{server_, state_, settings_};
};

TEST_F(ConsoleAppTest, WindowSendsTheWholeListThenOnlyNewLines) {
  state_.AddLine("a");
  state_.AddLine("b");
  json::object first = Parse(server_.Call("GET", "/api/window"));
  EXPECT_EQ(first.at("caption").as_string(), std::string("Mailvane - ") + kVersionText);
  EXPECT_EQ(first.at("label1").as_string(), kFirstRunNotice);
  EXPECT_TRUE(first.at("reset").as_bool());
  EXPECT_EQ(Lines(first), (std::vector<std::string>{"a", "b"}));
  std::string epoch = std::to_string(first.at("epoch").to_number<uint64_t>());

  state_.AddLine("c");
  struct Case {
    std::map<std::string, std::string> query;
    bool reset;
    std::vector<std::string> lines;
  } cases[] = {
      {{{"epoch", epoch}, {"from", "2"}}, false, {"c"}},
      {{{"epoch", epoch}, {"from", "3"}}, false, {}},
      {{{"epoch", epoch}, {"from", "0"}}, false, {"a", "b", "c"}},
      {{{"epoch", epoch}, {"from", "4"}}, true, {"a", "b", "c"}},  // beyond the list
      {{{"epoch", "7"}, {"from", "2"}}, true, {"a", "b", "c"}},    // an earlier list
      {{{"epoch", epoch}, {"from", "x"}}, true, {"a", "b", "c"}},
      {{{"from", "2"}}, true, {"a", "b", "c"}},
  };
  for (const Case& c : cases) {
    json::object answer = Parse(server_.Call("GET", "/api/window", c.query));
    EXPECT_EQ(answer.at("reset").as_bool(), c.reset);
    EXPECT_EQ(Lines(answer), c.lines);
    EXPECT_EQ(answer.at("total").to_number<uint64_t>(), 3u);
  }
}

TEST_F(ConsoleAppTest, ListClearedAtTheCapIsSentAfreshUnderANewEpoch) {
  for (size_t i = 0; i < kActivityListCap; ++i) state_.AddLine("line");
  json::object before = Parse(server_.Call("GET", "/api/window"));
  EXPECT_EQ(before.at("lines").as_array().size(), kConsoleLinesPerAnswer);
  EXPECT_EQ(before.at("total").to_number<uint64_t>(), kActivityListCap);
  std::string old_epoch = std::to_string(before.at("epoch").to_number<uint64_t>());

  state_.AddLine("after the cap");
  json::object after = Parse(server_.Call(
      "GET", "/api/window", {{"epoch", old_epoch}, {"from", std::to_string(kActivityListCap)}}));
  EXPECT_TRUE(after.at("reset").as_bool());
  EXPECT_EQ(Lines(after), (std::vector<std::string>{"after the cap"}));
  EXPECT_NE(std::to_string(after.at("epoch").to_number<uint64_t>()), old_epoch);
}

TEST_F(ConsoleAppTest, WaitingViewerIsWokenByEveryChangeOfTheWindow) {
  std::string version = std::to_string(state_.version());
  EXPECT_TRUE(server_.Waiting("GET", "/api/window/wait", {{"version", version}}));
  EXPECT_FALSE(server_.Waiting("GET", "/api/window/wait", {}));
  int signals = server_.signals();
  state_.AddLine("new");
  EXPECT_EQ(server_.signals(), signals + 1);
  EXPECT_FALSE(server_.Waiting("GET", "/api/window/wait", {{"version", version}}));
  state_.SetLabel1("");
  EXPECT_EQ(server_.signals(), signals + 2);
}

TEST_F(ConsoleAppTest, OpenShowsTheDialogsValuesAndSaveAnswersWithItsMessageBox) {
  json::object opened = Parse(server_.Call("POST", "/api/settings/open"));
  EXPECT_TRUE(opened.at("open").as_bool());
  EXPECT_EQ(opened.at("caption").as_string(), "Mailvane Settings");
  const json::object& values = opened.at("values").as_object();
  EXPECT_EQ(values.at("accessPassword").as_string(), "");
  EXPECT_EQ(values.at("confirmPassword").as_string(), "");
  EXPECT_TRUE(values.at("accessPasswordSet").as_bool());
  EXPECT_EQ(values.at("allowForwarding").as_int64(), 0);
  EXPECT_EQ(values.at("stripCrLf").as_int64(), 1);

  json::object refused =
      Parse(server_.Call("POST", "/api/settings/save", {}, ValidSave("192.168.1.300")));
  EXPECT_FALSE(refused.at("saved").as_bool());
  EXPECT_TRUE(refused.at("open").as_bool());
  const json::object& box = refused.at("message").as_object();
  EXPECT_EQ(box.at("text").as_string(),
            "The IP address or IP address and associated mask is invalid...");
  EXPECT_EQ(box.at("title").as_string(), "Invalid Setting Data");
  EXPECT_EQ(box.at("icon").as_string(), "information");
  // Showing the dialog again shows it as typed.
  ConsoleResponse again_text = server_.Call("GET", "/api/settings");
  json::object again = Parse(again_text);
  EXPECT_EQ(again.at("values").as_object().at("allowedIps").as_string(), "192.168.1.300");
  EXPECT_THAT(again_text.body, Not(HasSubstr("\"pw\"")));  // not even a typed password
  EXPECT_EQ(Parse(server_.Call("POST", "/api/settings/open"))
                .at("values")
                .as_object()
                .at("allowedIps")
                .as_string(),
            "192.168.1.300");

  json::object saved = Parse(server_.Call("POST", "/api/settings/save", {}, ValidSave()));
  EXPECT_TRUE(saved.at("saved").as_bool());
  EXPECT_FALSE(saved.at("open").as_bool());
  EXPECT_EQ(saved.at("message").as_object().at("title").as_string(), "Service Restart Required");
  EXPECT_EQ(saved.at("message").as_object().at("icon").as_string(), "critical");
  EXPECT_EQ(state_.label1(), "");
  EXPECT_EQ(config_.ForwardOK, "1");
  EXPECT_EQ(config_.StripCRLF, "0");
  EXPECT_EQ(Parse(server_.Call("GET", "/api/window")).at("label1").as_string(), "");
  EXPECT_FALSE(Parse(server_.Call("GET", "/api/settings")).at("open").as_bool());
}

TEST_F(ConsoleAppTest, SaveKeepsTheStoredPasswordUnlessANewOneIsTyped) {
  auto save = [this](const char* password, const char* confirm) {
    server_.Call("POST", "/api/settings/open");
    json::object body = json::parse(ValidSave()).as_object();
    body["accessPassword"] = password;
    body["confirmPassword"] = confirm;
    json::object answer =
        Parse(server_.Call("POST", "/api/settings/save", {}, json::serialize(body)));
    server_.Call("POST", "/api/settings/close");
    return std::string(answer.at("message").as_object().at("text").as_string());
  };
  auto stored = [this] { return registry_.GetRawValue(kSettingsKey, "AccessPassword")->data; };
  EXPECT_EQ(save("", ""), kRestartRequired);
  EXPECT_EQ(config_.AccessPassword, "plain pw");
  EXPECT_EQ(stored(), ScramblePassword("plain pw") + '\0');
  EXPECT_EQ(save("", "other"), kPasswordsDoNotMatch);
  EXPECT_EQ(save("other", ""), kPasswordsDoNotMatch);
  EXPECT_EQ(save("new pw", "new pw"), kRestartRequired);
  EXPECT_EQ(config_.AccessPassword, "new pw");
  EXPECT_EQ(stored(), ScramblePassword("new pw") + '\0');
  config_.AccessPassword.clear();  // none stored: blank stays blank and is refused
  EXPECT_FALSE(Parse(server_.Call("POST", "/api/settings/open"))
                   .at("values")
                   .as_object()
                   .at("accessPasswordSet")
                   .as_bool());
  server_.Call("POST", "/api/settings/close");
  EXPECT_EQ(save("", ""), kInformationMissing);
}

TEST_F(ConsoleAppTest, MonitoringRoutesAreOpenAndReportTheMetricsAsAsked) {
  GatewayMetrics metrics;
  metrics.listening = true;
  metrics.handler_up = true;
  app_.ServeMonitoring([&metrics] { return metrics; });
  EXPECT_TRUE(server_.IsOpen("/healthz"));
  EXPECT_TRUE(server_.IsOpen("/metrics"));
  EXPECT_EQ(server_.Call("GET", "/healthz").status, 200);
  metrics.handler_up = false;
  metrics.handler_restarting = true;
  ConsoleResponse down = server_.Call("GET", "/healthz");
  EXPECT_EQ(down.status, 503);
  EXPECT_EQ(down.body, "handler not running (restarting)\n");
  metrics.refused[static_cast<size_t>(RefusedReason::kBareCr)] = 7;
  ConsoleResponse scraped = server_.Call("GET", "/metrics");
  EXPECT_EQ(scraped.content_type, "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_THAT(scraped.body, HasSubstr("# TYPE mailvane_mails_refused_total counter\n"));
  EXPECT_THAT(scraped.body, HasSubstr("mailvane_mails_refused_total{reason=\"bare_cr\"} 7\n"));
  EXPECT_THAT(scraped.body, HasSubstr("mailvane_handler_up 0\n"));
}

TEST_F(ConsoleAppTest, SaveNeedsAnOpenDialogAndReadableValues) {
  EXPECT_EQ(server_.Call("POST", "/api/settings/save", {}, ValidSave()).status, 409);
  server_.Call("POST", "/api/settings/open");
  for (const char* body : {"", "[]", "{\"listeningPort\":25}", "{\"allowForwarding\":\"yes\"}"}) {
    EXPECT_EQ(server_.Call("POST", "/api/settings/save", {}, body).status, 400) << body;
  }
  EXPECT_EQ(registry_.value_writes(), 0);
  json::object closed = Parse(server_.Call("POST", "/api/settings/close"));
  EXPECT_FALSE(closed.at("open").as_bool());
  EXPECT_FALSE(settings_.is_open());
  EXPECT_EQ(registry_.value_writes(), 0);
}

// The whole path: the Beast server, sign-in, the page's files and the dialog's routes.
TEST_F(ConsoleAppTest, StartConsoleServesThePageAndTheDialogOnLoopback) {
  std::string error;
  std::unique_ptr<EventLoop> loop = NewEventLoop();
  EXPECT_EQ(StartConsole(*loop, state_, settings_, {"off", "", "", nullptr}, &error), nullptr);
  EXPECT_EQ(error, "");
  EXPECT_EQ(StartConsole(*loop, state_, settings_, {"10.0.0.1:0", "", "", nullptr}, &error),
            nullptr);
  EXPECT_THAT(error, HasSubstr("loopback"));

  char pattern[] = "/tmp/console_app_test_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::filesystem::path dir = pattern;
  // The page's files in the source tree.
  std::string www = MAILVANE_SOURCE_DIR "/server/console";
  ConsoleSetup setup{"127.0.0.1:0", (dir / "console.secret").string(), www, nullptr};
  std::unique_ptr<Console> console = StartConsole(*loop, state_, settings_, setup, &error);
  ASSERT_NE(console, nullptr) << error;
  uint16_t port = console->server->BoundPort();
  std::string secret;
  ASSERT_FALSE(LoadOrCreateConsoleSecret(setup.secret_path, &secret));
  std::thread serving([&] { loop->Run(); });

  using testing::Fetch;
  std::string origin = "http://127.0.0.1:" + std::to_string(port);
  auto page = Fetch(port, "GET", "/");
  auto login = Fetch(port, "POST", "/login", {{"Origin", origin}},
                     json::serialize(json::object{{"secret", secret}}));
  std::string cookie = login.Header("set-cookie").substr(0, login.Header("set-cookie").find(';'));
  std::string csrf(json::parse(login.body).as_object().at("csrf").as_string());
  std::map<std::string, std::string> post = {
      {"Cookie", cookie}, {"Origin", origin}, {"X-CSRF-Token", csrf}};
  auto window = Fetch(port, "GET", "/api/window", {{"Cookie", cookie}});
  auto unsigned_open = Fetch(port, "POST", "/api/settings/open", {{"Origin", origin}});
  auto opened = Fetch(port, "POST", "/api/settings/open", post);
  auto saved = Fetch(port, "POST", "/api/settings/save", post, ValidSave());

  loop->Post([&] {
    console->server->Stop();
    loop->Stop();
  });
  serving.join();
  console.reset();
  std::filesystem::remove_all(dir);

  EXPECT_EQ(page.status, 200);
  EXPECT_THAT(page.body, HasSubstr("Mailvane Settings"));
  EXPECT_EQ(login.status, 200);
  EXPECT_EQ(window.status, 200);
  EXPECT_THAT(window.body, HasSubstr(std::string("Mailvane - ") + kVersionText));
  EXPECT_EQ(unsigned_open.status, 401);
  EXPECT_EQ(opened.status, 200);
  EXPECT_THAT(opened.body, Not(HasSubstr("plain pw")));
  EXPECT_EQ(saved.status, 200);
  EXPECT_THAT(saved.body, HasSubstr("Service Restart Required"));
  EXPECT_EQ(config_.AccessPassword, "pw");
}

}  // namespace
}  // namespace mailvane
