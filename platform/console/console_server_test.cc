#include "platform/console/console_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "platform/console/testing/http_client.h"

namespace mailvane {
namespace {

using ::mailvane::testing::Fetch;
using ::mailvane::testing::HttpResult;
using ::testing::HasSubstr;

namespace fs = std::filesystem;

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWhole(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

class ConsoleServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/console_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directory(dir_ / "www");
    WriteWhole(dir_ / "www" / "index.html", "<html>page</html>");
    WriteWhole(dir_ / "www" / "console.css", "body{}");
    WriteWhole(dir_ / "www" / "console.js", "let x;");
    WriteWhole(dir_ / "www" / "notes.txt", "not served");
    options_.address = "127.0.0.1:0";
    options_.secret_path = (dir_ / "console.secret").string();
    options_.static_folder = (dir_ / "www").string();
    options_.limits.failed_login_delay = std::chrono::milliseconds(0);
    options_.log = [this](const std::string& line) { log_ += line + "\n"; };
  }

  void TearDown() override {
    StopServing();
    server_.reset();
    fs::remove_all(dir_);
  }

  // Builds the server with one plain GET route, one POST route and one that throws.
  void StartServer() {
    server_ = NewBeastConsoleServer(*loop_, options_);
    server_->AddRoute("GET", "/api/ping", [](const ConsoleRequest& request) {
      ConsoleResponse response;
      response.body =
          "{\"pong\":\"" + (request.query.count("n") ? request.query.at("n") : "") + "\"}";
      return response;
    });
    server_->AddRoute("POST", "/api/echo", [](const ConsoleRequest& request) {
      ConsoleResponse response;
      response.body = request.body;
      return response;
    });
    server_->AddRoute("GET", "/api/broken", [](const ConsoleRequest&) -> ConsoleResponse {
      throw std::runtime_error("handler fault");
    });
    server_->AddOpenRoute("/status", [](const ConsoleRequest&) {
      return ConsoleResponse{200, "text/plain", "fine"};
    });
    server_->AddWaitingRoute(
        "GET", "/api/wait",
        [this](const ConsoleRequest&) {
          asked_.store(true);
          if (!asked_promise_set_.exchange(true)) asked_promise_.set_value();
          return changed_.load();
        },
        [this](const ConsoleRequest&) {
          ConsoleResponse response;
          response.body = changed_.load() ? "changed" : "unchanged";
          return response;
        });
    std::string error;
    ASSERT_FALSE(server_->Start(&error)) << error;
    port_ = server_->BoundPort();
    serving_ = std::thread([this] { loop_->Run(); });
  }

  void StopServing() {
    if (!serving_.joinable()) return;
    loop_->Post([this] {
      server_->Stop();
      loop_->Stop();
    });
    serving_.join();
  }

  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string Secret() const {
    std::string text = ReadWhole(options_.secret_path);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }

  HttpResult Login(const std::string& secret) {
    return Fetch(port_, "POST", "/login", {{"Origin", Origin()}},
                 "{\"secret\":\"" + secret + "\"}");
  }

  // Signs in; the cookie header value and the CSRF token.
  std::pair<std::string, std::string> SignIn() {
    HttpResult result = Login(Secret());
    EXPECT_EQ(result.status, 200);
    std::string cookie = result.Header("set-cookie");
    cookie = cookie.substr(0, cookie.find(';'));
    std::string body = result.body;
    size_t start = body.find("\"csrf\":\"") + 8;
    return {cookie, body.substr(start, body.find('"', start) - start)};
  }

  fs::path dir_;
  ConsoleOptions options_;
  std::unique_ptr<EventLoop> loop_ = NewEventLoop();
  std::unique_ptr<ConsoleServer> server_;
  std::thread serving_;
  uint16_t port_ = 0;
  std::string log_;
  std::atomic<bool> changed_{false};
  std::atomic<bool> asked_{false};
  std::atomic<bool> asked_promise_set_{false};
  std::promise<void> asked_promise_;
};

TEST_F(ConsoleServerTest, AnswersOnlyItsOwnLoopbackHostName) {
  StartServer();
  std::string port = std::to_string(port_);
  struct Case {
    std::string host;
    int status;
  } cases[] = {
      {"127.0.0.1:" + port, 200},
      {"localhost:" + port, 200},
      {"LOCALHOST:" + port, 200},
      {"[::1]:" + port, 200},
      {"evil.example:" + port, 421},
      {"127.0.0.1:1", 421},
      {"127.0.0.1", 421},
      {"", 421},
  };
  for (const Case& c : cases) {
    HttpResult result = Fetch(port_, "GET", "/", {{"Host", c.host}});
    EXPECT_EQ(result.status, c.status) << "Host: " << c.host;
  }
  // A rebound name is refused before sign-in is even looked at.
  EXPECT_EQ(Fetch(port_, "POST", "/login", {{"Host", "evil.example:" + port}},
                  "{\"secret\":\"" + Secret() + "\"}")
                .status,
            421);
}

TEST_F(ConsoleServerTest, ApiNeedsASignedInSession) {
  StartServer();
  EXPECT_EQ(Fetch(port_, "GET", "/api/ping").status, 401);
  EXPECT_EQ(Fetch(port_, "GET", "/api/ping", {{"Cookie", "mailvane_session=forged"}}).status, 401);
  EXPECT_EQ(Fetch(port_, "GET", "/api/session").status, 401);
}

TEST_F(ConsoleServerTest, WrongSecretGetsNoSessionAndTheRightOneWorks) {
  StartServer();
  HttpResult refused = Login(std::string(64, '0'));
  EXPECT_EQ(refused.status, 401);
  EXPECT_EQ(refused.Header("set-cookie"), "");

  HttpResult accepted = Login(Secret());
  ASSERT_EQ(accepted.status, 200);
  std::string cookie = accepted.Header("set-cookie");
  EXPECT_THAT(cookie, HasSubstr("mailvane_session="));
  EXPECT_THAT(cookie, HasSubstr("HttpOnly"));
  EXPECT_THAT(cookie, HasSubstr("SameSite=Strict"));
  EXPECT_THAT(cookie, HasSubstr("Path=/"));
  EXPECT_THAT(accepted.body, HasSubstr("\"csrf\":\""));

  auto [session, csrf] = SignIn();
  HttpResult ping = Fetch(port_, "GET", "/api/ping?n=a%20b", {{"Cookie", session}});
  EXPECT_EQ(ping.status, 200);
  EXPECT_EQ(ping.body, "{\"pong\":\"a b\"}");
  HttpResult again = Fetch(port_, "GET", "/api/session", {{"Cookie", session}});
  EXPECT_THAT(again.body, HasSubstr(csrf));
  EXPECT_THAT(log_, Not(HasSubstr(Secret())));
  EXPECT_THAT(log_, Not(HasSubstr(csrf)));
}
TEST_F(ConsoleServerTest, WrongSecretsBeingWaitedOutDoNotHoldUpTheRightOne) {
  options_.limits.failed_login_delay = std::chrono::minutes(10);
  std::promise<void> refused;
  options_.log = [&refused](const std::string& line) {
    if (line.find("wrong secret") != std::string::npos) refused.set_value();
  };
  StartServer();
  auto waiting = std::async(std::launch::async, [this] { return Login(std::string(64, '0')); });
  refused.get_future().wait();  // the wrong secret's answer is now being waited out
  EXPECT_EQ(Login(std::string(64, '1')).status, 429);
  EXPECT_EQ(Login(Secret()).status, 200);
  StopServing();
  EXPECT_EQ(waiting.get().status, 0);  // closed by the stop, never answered early
}
TEST_F(ConsoleServerTest, LoginNeedsSameOriginAndAPost) {
  StartServer();
  EXPECT_EQ(Fetch(port_, "POST", "/login", {{"Origin", "http://evil.example"}},
                  "{\"secret\":\"" + Secret() + "\"}")
                .status,
            403);
  EXPECT_EQ(Fetch(port_, "GET", "/login").status, 405);
}
TEST_F(ConsoleServerTest, PostNeedsTheSessionsTokenAndSigningOutEndsTheSession) {
  StartServer();
  auto [session, csrf] = SignIn();
  EXPECT_EQ(Fetch(port_, "POST", "/api/echo", {{"Cookie", session}, {"Origin", Origin()}}).status,
            403);
  HttpResult echoed =
      Fetch(port_, "POST", "/api/echo",
            {{"Cookie", session}, {"Origin", Origin()}, {"X-CSRF-Token", csrf}}, "{\"a\":1}");
  EXPECT_EQ(echoed.status, 200);
  EXPECT_EQ(echoed.body, "{\"a\":1}");
  EXPECT_EQ(Fetch(port_, "GET", "/logout", {{"Cookie", session}}).status, 405);
  EXPECT_EQ(Fetch(port_, "POST", "/logout",
                  {{"Cookie", session}, {"Origin", Origin()}, {"X-CSRF-Token", csrf}})
                .status,
            200);
  EXPECT_EQ(Fetch(port_, "GET", "/api/ping", {{"Cookie", session}}).status, 401);
}
TEST_F(ConsoleServerTest, EveryAnswerCarriesTheProtectiveHeaders) {
  StartServer();
  auto [session, csrf] = SignIn();
  for (const HttpResult& result : {Fetch(port_, "GET", "/"), Fetch(port_, "GET", "/api/ping"),
                                   Fetch(port_, "GET", "/", {{"Host", "evil.example"}}),
                                   Fetch(port_, "GET", "/api/ping", {{"Cookie", session}})}) {
    EXPECT_EQ(result.Header("cache-control"), "no-store");
    EXPECT_EQ(result.Header("x-frame-options"), "DENY");
    EXPECT_EQ(result.Header("x-content-type-options"), "nosniff");
    EXPECT_THAT(result.Header("content-security-policy"), HasSubstr("default-src 'self'"));
  }
}

TEST_F(ConsoleServerTest, ServesThePageFilesWithTheirTypesAndNothingElse) {
  StartServer();
  struct Case {
    const char* target;
    int status;
    const char* type;
  } cases[] = {
      {"/", 200, "text/html"},           {"/index.html", 200, "text/html"},
      {"/console.css", 200, "text/css"}, {"/console.js", 200, "text/javascript"},
      {"/notes.txt", 404, ""},           {"/missing.js", 404, ""},
      {"/../console.secret", 404, ""},   {"/%2e%2e/console.secret", 404, ""},
      {"/www/index.html", 404, ""},
  };
  for (const Case& c : cases) {
    HttpResult result = Fetch(port_, "GET", c.target);
    EXPECT_EQ(result.status, c.status) << c.target;
    if (c.status == 200) {
      EXPECT_THAT(result.Header("content-type"), HasSubstr(c.type));
    }
  }
  EXPECT_EQ(Fetch(port_, "GET", "/").body, "<html>page</html>");
  EXPECT_EQ(Fetch(port_, "POST", "/", {{"Origin", Origin()}}).status, 405);
}

TEST_F(ConsoleServerTest, RefusesRequestsBeyondTheSizeBounds) {
  options_.limits.max_body_bytes = 1024;
  options_.limits.max_header_bytes = 2048;
  StartServer();
  auto [session, csrf] = SignIn();
  std::map<std::string, std::string> headers = {
      {"Cookie", session}, {"Origin", Origin()}, {"X-CSRF-Token", csrf}};
  EXPECT_EQ(Fetch(port_, "POST", "/api/echo", headers, std::string(1024, 'x')).status, 200);
  EXPECT_EQ(Fetch(port_, "POST", "/api/echo", headers, std::string(1025, 'x')).status, 413);
  headers["X-Padding"] = std::string(4096, 'p');
  EXPECT_EQ(Fetch(port_, "POST", "/api/echo", headers, "{}").status, 431);
}

TEST_F(ConsoleServerTest, HandlerFaultIsTrappedAndAnswered) {
  StartServer();
  auto [session, csrf] = SignIn();
  EXPECT_EQ(Fetch(port_, "GET", "/api/broken", {{"Cookie", session}}).status, 500);
  EXPECT_THAT(log_, HasSubstr("handler fault"));
  EXPECT_EQ(Fetch(port_, "GET", "/api/ping", {{"Cookie", session}}).status, 200);
  EXPECT_EQ(Fetch(port_, "GET", "/api/nothing", {{"Cookie", session}}).status, 404);
}

TEST_F(ConsoleServerTest, ParkedRequestIsAnsweredAfterAChangeIsSignalled) {
  StartServer();
  auto [session, csrf] = SignIn();
  auto answer = std::async(std::launch::async, [this, session = session] {
    return Fetch(port_, "GET", "/api/wait", {{"Cookie", session}});
  });
  asked_promise_.get_future().wait();  // the request has been looked at and parked
  loop_->Post([this] {
    changed_.store(true);
    server_->SignalChange();
  });
  HttpResult result = answer.get();
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, "changed");
}

TEST_F(ConsoleServerTest, OpenRouteIsAnsweredWithoutSignInButOnlyToGetAndItsOwnHost) {
  StartServer();
  HttpResult open = Fetch(port_, "GET", "/status");
  EXPECT_EQ(open.status, 200);
  EXPECT_EQ(open.body, "fine");
  EXPECT_EQ(open.Header("content-type"), "text/plain");
  EXPECT_EQ(Fetch(port_, "POST", "/status", {{"Origin", Origin()}}).status, 405);
  EXPECT_EQ(Fetch(port_, "GET", "/status", {{"Host", "evil.example"}}).status, 421);
}

TEST_F(ConsoleServerTest, ParkedRequestIsAnsweredAtTheTimeOutWithoutAChange) {
  options_.limits.long_poll_timeout = std::chrono::milliseconds(1);
  StartServer();
  auto [session, csrf] = SignIn();
  HttpResult result = Fetch(port_, "GET", "/api/wait", {{"Cookie", session}});
  EXPECT_TRUE(asked_.load());
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, "unchanged");
}

// One kept-alive connection of a test, answered request by request.
class HeldConnection {
 public:
  explicit HeldConnection(uint16_t port) : port_(port), socket_(io_) {
    socket_.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  }
  void Send(boost::beast::http::verb verb, const std::string& target,
            std::map<std::string, std::string> headers = {}, const std::string& body = "") {
    namespace http = boost::beast::http;
    http::request<http::string_body> request(verb, target, 11);
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port_));
    for (const auto& [name, value] : headers) request.set(name, value);
    request.body() = body;
    request.prepare_payload();
    http::write(socket_, request);
  }
  // The next answer's status; 0 when the server closed the connection instead.
  int Answer() {
    namespace http = boost::beast::http;
    http::response<http::string_body> response;
    boost::beast::error_code error;
    http::read(socket_, buffer_, response, error);
    last_.clear();
    for (const auto& field : response) {
      last_[AsciiLowered(std::string(field.name_string()))] = std::string(field.value());
    }
    return error ? 0 : response.result_int();
  }
  // The headers of the last answer, names in lower case.
  const std::map<std::string, std::string>& last() const { return last_; }

 private:
  uint16_t port_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  boost::beast::flat_buffer buffer_;
  std::map<std::string, std::string> last_;
};

TEST_F(ConsoleServerTest, AtTheConnectionBoundTheLongestIdleMakesRoom) {
  options_.limits.max_connections = 1;
  StartServer();
  HeldConnection held(port_);
  held.Send(boost::beast::http::verb::get, "/");
  ASSERT_EQ(held.Answer(), 200);  // counted, and now waiting for its next request
  EXPECT_EQ(Fetch(port_, "GET", "/status").status, 200);
  EXPECT_EQ(held.Answer(), 0);  // closed to make room
}

TEST_F(ConsoleServerTest, AtTheConnectionBoundWithNoneIdleTheNewOneIsClosed) {
  options_.limits.max_connections = 1;
  StartServer();
  HeldConnection held(port_);
  held.Send(boost::beast::http::verb::post, "/login", {{"Origin", Origin()}},
            "{\"secret\":\"" + Secret() + "\"}");
  ASSERT_EQ(held.Answer(), 200);
  std::string cookie = held.last().at("set-cookie");
  held.Send(boost::beast::http::verb::get, "/api/wait",
            {{"Cookie", cookie.substr(0, cookie.find(';'))}});
  asked_promise_.get_future().wait();  // parked: busy, not idle
  EXPECT_EQ(Fetch(port_, "GET", "/status").status, 0);
  loop_->Post([this] {
    changed_.store(true);
    server_->SignalChange();
  });
  EXPECT_EQ(held.Answer(), 200);
}

TEST_F(ConsoleServerTest, AConnectionThatSendsNothingIsClosedAtTheFirstRequestDeadline) {
  options_.limits.first_request_timeout = std::chrono::milliseconds(1);
  options_.limits.header_timeout = std::chrono::minutes(10);
  StartServer();
  HeldConnection silent(port_);
  EXPECT_EQ(silent.Answer(), 0);
}

TEST(ConsoleAddressTest, ReadsLoopbackAddressesAndRefusesOthers) {
  struct Case {
    std::string text;
    bool ok;
    bool disabled;
    std::string host;
    uint16_t port;
  } cases[] = {
      {"", true, false, "127.0.0.1", 8026},
      {"off", true, true, "", 0},
      {"127.0.0.1:8026", true, false, "127.0.0.1", 8026},
      {"127.0.0.2:9000", true, false, "127.0.0.2", 9000},
      {"localhost:8080", true, false, "127.0.0.1", 8080},
      {"[::1]:0", true, false, "::1", 0},
      {"0.0.0.0:8026", false, false, "", 0},
      {"192.168.1.10:8026", false, false, "", 0},
      {"[::]:8026", false, false, "", 0},
      {"example.com:8026", false, false, "", 0},
      {"127.0.0.1", false, false, "", 0},
      {"127.0.0.1:", false, false, "", 0},
      {"127.0.0.1:65536", false, false, "", 0},
      {"127.0.0.1:80a", false, false, "", 0},
      {"::1:8026", false, false, "", 0},
      {"OFF", false, false, "", 0},
  };
  for (const Case& c : cases) {
    std::string error;
    std::optional<ConsoleAddress> address = ParseConsoleAddress(c.text, &error);
    ASSERT_EQ(address.has_value(), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(address->disabled, c.disabled) << c.text;
    EXPECT_EQ(address->host, c.host) << c.text;
    EXPECT_EQ(address->port, c.port) << c.text;
  }
}

TEST_F(ConsoleServerTest, StartRefusesAnAddressOffLoopback) {
  for (const char* address : {"0.0.0.0:0", "10.1.2.3:0", "[::]:0"}) {
    options_.address = address;
    auto server = NewBeastConsoleServer(*loop_, options_);
    std::string error;
    EXPECT_TRUE(server->Start(&error)) << address;
    EXPECT_THAT(error, HasSubstr("loopback")) << address;
  }
  EXPECT_FALSE(fs::exists(options_.secret_path));
}

TEST_F(ConsoleServerTest, ListensOnIpv6Loopback) {
  options_.address = "[::1]:0";
  auto server = NewBeastConsoleServer(*loop_, options_);
  std::string error;
  if (server->Start(&error)) GTEST_SKIP() << "no IPv6 loopback here: " << error;
  EXPECT_EQ(server->Origin(), "http://[::1]:" + std::to_string(server->BoundPort()));
  uint16_t port = server->BoundPort();
  std::thread serving([this] { loop_->Run(); });
  HttpResult result =
      Fetch(port, "GET", "/", {{"Host", "[::1]:" + std::to_string(port)}}, "", "::1");
  loop_->Post([&] {
    server->Stop();
    loop_->Stop();
  });
  serving.join();
  EXPECT_EQ(result.status, 200);
}

TEST_F(ConsoleServerTest, StartRefusesASecretFileOpenToOthersWithoutShowingIt) {
  WriteWhole(options_.secret_path, std::string(64, 'a') + "\n");
  chmod(options_.secret_path.c_str(), 0644);
  auto server = NewBeastConsoleServer(*loop_, options_);
  std::string error;
  EXPECT_TRUE(server->Start(&error));
  EXPECT_THAT(error, HasSubstr(options_.secret_path));
  EXPECT_THAT(error, Not(HasSubstr(std::string(64, 'a'))));
}

}  // namespace
}  // namespace mailvane
