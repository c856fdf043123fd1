#include "server/messages_api.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <boost/json.hpp>
#include <filesystem>

#include "platform/console/testing/fake_console_server.h"

namespace mailvane {
namespace {

namespace json = boost::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TimePoint At(int seconds) { return TimePoint(std::chrono::seconds(1'800'000'000 + seconds)); }

class FakeActions : public MessageActions {
 public:
  bool Retry(const std::string& name, const std::string& recipient) override {
    calls.push_back("retry " + name + " " + recipient);
    return handler_up;
  }
  bool Cancel(const std::string& name, const std::string& recipient) override {
    calls.push_back("cancel " + name + " " + recipient);
    return handler_up;
  }
  std::vector<std::string> calls;
  bool handler_up = true;
};

class MessagesApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "mv_api_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    api_ = std::make_unique<MessagesApi>(
        MessagesApiEnvironment{server_, dir_ + "/" + kJournalFileName, actions_,
                               [this](const std::string& line) { activity_.push_back(line); }});
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The journal as the handler writes it: "old.msg" ended, "new.msg" waiting with two numbers.
  void Fill() {
    auto writer = OpenJournal(dir_ + "/" + kJournalFileName, JournalMode::kWrite);
    ASSERT_TRUE(writer->ok()) << writer->ErrorText();
    JournalBatch batch;
    for (auto [name, at] : {std::pair{"old.msg", 0}, {"new.msg", 10}}) {
      NewMessage m;
      m.spool_name = name;
      m.received = At(at);
      m.envelope_sender = "app@example.com";
      m.subject = std::string("Alert ") + name;
      m.recipients = {{"4911", RecipientKind::kSms, RecipientState::kQueued},
                      {"4912", RecipientKind::kSms, RecipientState::kQueued}};
      batch.Add(std::move(m));
    }
    Try t;
    t.spool_name = "new.msg";
    t.address = "4911";
    t.time = At(11);
    t.state = RecipientState::kFailed;
    t.answer = "throttled";
    batch.Add(t);
    batch.Add(MessageEnd{"old.msg", At(5)});
    ASSERT_FALSE(writer->Write(batch, nullptr)) << writer->ErrorText();
  }

  json::value Get(const std::string& path, std::map<std::string, std::string> query = {},
                  int status = 200) {
    ConsoleResponse r = server_.Call("GET", path, std::move(query));
    EXPECT_EQ(r.status, status) << path << " " << r.body;
    return json::parse(r.body);
  }
  ConsoleResponse Post(const std::string& path, const std::string& body = "") {
    return server_.Call("POST", path, {}, body);
  }
  std::vector<std::string> Names(const json::value& page) {
    std::vector<std::string> names;
    for (const json::value& m : page.at("messages").as_array()) {
      names.emplace_back(m.at("name").as_string());
    }
    return names;
  }

  std::string dir_;
  FakeConsoleServer server_;
  FakeActions actions_;
  std::vector<std::string> activity_;
  std::unique_ptr<MessagesApi> api_;
};

TEST_F(MessagesApiTest, SaysTheJournalIsUnavailableUntilItExists) {
  json::value refused = Get("/api/messages", {}, 503);
  EXPECT_THAT(std::string(refused.at("error").as_string()), HasSubstr("journal unavailable"));
  Get("/api/messages/new.msg", {}, 503);
  EXPECT_EQ(Post("/api/messages/new.msg/retry").status, 503);
  EXPECT_TRUE(actions_.calls.empty());
  Fill();  // the handler makes it later: the next request opens it
  EXPECT_THAT(Names(Get("/api/messages")), ElementsAre("new.msg", "old.msg"));
}

TEST_F(MessagesApiTest, SearchesFilterAndPage) {
  Fill();
  struct Case {
    std::map<std::string, std::string> query;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {{{"number", "4912"}}, {"new.msg", "old.msg"}},
      {{{"state", "failed"}}, {"new.msg"}},
      {{{"text", "alert old"}}, {"old.msg"}},
      {{{"sender", "APP@example.com"}, {"before", "1800000010"}}, {"old.msg"}},
      {{{"since", "1800000010"}}, {"new.msg"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Names(Get("/api/messages", c.query)), c.names)
        << json::serialize(Get("/api/messages", c.query));
  }
  json::value first = Get("/api/messages", {{"limit", "1"}});
  EXPECT_THAT(Names(first), ElementsAre("new.msg"));
  json::value second =
      Get("/api/messages", {{"limit", "1"}, {"cursor", std::string(first.at("next").as_string())}});
  EXPECT_THAT(Names(second), ElementsAre("old.msg"));
  EXPECT_EQ(second.at("next").as_string(), "");
  const json::value& r = first.at("messages").at(0).at("recipients").at(0);
  EXPECT_EQ(r.at("state").as_string(), "failed");
  EXPECT_EQ(r.at("answer").as_string(), "throttled");

  for (auto bad : std::vector<std::map<std::string, std::string>>{{{"state", "lost"}},
                                                                  {{"limit", "0"}},
                                                                  {{"limit", "501"}},
                                                                  {{"since", "yesterday"}},
                                                                  {{"cursor", "x"}}}) {
    Get("/api/messages", bad, 400);
  }
}

TEST_F(MessagesApiTest, ShowsOneMessageWithItsTimeline) {
  Fill();
  json::value m = Get("/api/messages/new.msg").at("message");
  EXPECT_EQ(m.at("state").as_string(), "waiting");
  EXPECT_EQ(m.at("recipients").as_array().size(), 2u);
  const json::value& event = m.at("events").at(0);
  EXPECT_EQ(event.at("address").as_string(), "4911");
  EXPECT_EQ(event.at("text").as_string(), "throttled");
  Get("/api/messages/none.msg", {}, 404);
  Get("/api/messages/new.msg/extra", {}, 404);
}

TEST_F(MessagesApiTest, ActionsPostToTheHandlerAndAreListed) {
  Fill();
  EXPECT_EQ(Post("/api/messages/new.msg/retry").status, 200);
  EXPECT_EQ(Post("/api/messages/new.msg/cancel", R"({"recipient": "4912"})").status, 200);
  EXPECT_THAT(actions_.calls, ElementsAre("retry new.msg ", "cancel new.msg 4912"));
  EXPECT_THAT(activity_, ElementsAre("Message new.msg retry asked by the administrator",
                                     "Message new.msg cancelled for 4912 by the administrator"));

  struct Refused {
    const char* path;
    const char* body;
    int status;
  };
  const Refused refused[] = {
      {"/api/messages/new.msg/cancel", R"({"recipient": "4999"})", 404},
      {"/api/messages/none.msg/cancel", "", 404},
      {"/api/messages/old.msg/retry", "", 409},  // ended
      {"/api/messages/new.msg/delete", "", 404},
      {"/api/messages/new.msg/cancel", R"({"recipient": 4912})", 400},
      {"/api/messages/new.msg/cancel", "not json", 400},
  };
  for (const Refused& r : refused) EXPECT_EQ(Post(r.path, r.body).status, r.status) << r.path;
  actions_.handler_up = false;
  ConsoleResponse down = Post("/api/messages/new.msg/retry");
  EXPECT_EQ(down.status, 503);
  EXPECT_THAT(down.body, HasSubstr("not running"));
  EXPECT_EQ(actions_.calls.size(), 3u);
  EXPECT_EQ(activity_.size(), 2u);
}

}  // namespace
}  // namespace mailvane
