#include "platform/console/console_sessions.h"

#include <gtest/gtest.h>

#include <string>

namespace mailvane {
namespace {

const std::string kSecret(64, 'c');
constexpr char kHost[] = "127.0.0.1:8026";
constexpr char kOrigin[] = "http://127.0.0.1:8026";

ConsoleHeaders FromPage() {
  ConsoleHeaders headers;
  headers.host = kHost;
  headers.has_origin = true;
  headers.origin = kOrigin;
  return headers;
}

std::string Body(const std::string& secret) { return "{\"secret\":\"" + secret + "\"}"; }

class ConsoleSessionsTest : public ::testing::Test {
 protected:
  void SetUp() override { sessions_.SetSecret(kSecret); }

  ConsoleSession SignIn() {
    ConsoleSession session;
    EXPECT_EQ(sessions_.SignIn(FromPage(), Body(kSecret), &session), SignInOutcome::kAccepted);
    return session;
  }

  ConsoleSessions sessions_{2};
};

TEST_F(ConsoleSessionsTest, SignInTakesOnlyTheSecretFromThePage) {
  ConsoleHeaders no_origin;
  no_origin.host = kHost;
  ConsoleHeaders foreign = FromPage();
  foreign.origin = "http://evil.example";
  ConsoleHeaders fetched = no_origin;
  fetched.sec_fetch_site = "same-origin";
  ConsoleHeaders cross_site = no_origin;
  cross_site.sec_fetch_site = "cross-site";
  struct Case {
    const char* name;
    ConsoleHeaders headers;
    std::string body;
    SignInOutcome outcome;
  } cases[] = {
      {"empty secret", FromPage(), Body(""), SignInOutcome::kWrongSecret},
      {"short secret", FromPage(), Body("00"), SignInOutcome::kWrongSecret},
      {"other secret", FromPage(), Body(std::string(64, '0')), SignInOutcome::kWrongSecret},
      {"not json", FromPage(), "not json", SignInOutcome::kWrongSecret},
      {"secret not a text", FromPage(), "{\"secret\":1}", SignInOutcome::kWrongSecret},
      {"no origin", no_origin, Body(kSecret), SignInOutcome::kCrossOrigin},
      {"foreign origin", foreign, Body(kSecret), SignInOutcome::kCrossOrigin},
      {"cross-site fetch", cross_site, Body(kSecret), SignInOutcome::kCrossOrigin},
      {"the secret", FromPage(), Body(kSecret), SignInOutcome::kAccepted},
      {"upper case, spaces", FromPage(), Body(" " + std::string(64, 'C') + "\\n"),
       SignInOutcome::kAccepted},
      {"same-origin fetch", fetched, Body(kSecret), SignInOutcome::kAccepted},
  };
  for (const Case& c : cases) {
    ConsoleSession session;
    EXPECT_EQ(sessions_.SignIn(c.headers, c.body, &session), c.outcome) << c.name;
    EXPECT_EQ(session.id.empty(), c.outcome != SignInOutcome::kAccepted) << c.name;
    sessions_.SignInDelayOver();
  }
}

TEST_F(ConsoleSessionsTest, WrongSecretHoldsOffOnlyWrongOnesUntilItsDelayIsOver) {
  ConsoleSession session;
  EXPECT_EQ(sessions_.SignIn(FromPage(), Body("00"), &session), SignInOutcome::kWrongSecret);
  EXPECT_EQ(sessions_.SignIn(FromPage(), Body("01"), &session), SignInOutcome::kBusy);
  EXPECT_TRUE(session.id.empty());
  EXPECT_EQ(sessions_.SignIn(FromPage(), Body(kSecret), &session), SignInOutcome::kAccepted);
  EXPECT_EQ(sessions_.SignIn(FromPage(), Body("02"), &session), SignInOutcome::kBusy);
  sessions_.SignInDelayOver();
  EXPECT_EQ(sessions_.SignIn(FromPage(), Body("03"), &session), SignInOutcome::kWrongSecret);
}

TEST_F(ConsoleSessionsTest, ChangeNeedsSameOriginAndTheSessionsToken) {
  ConsoleSession session = SignIn();
  const std::string wrong(64, 'a');
  struct Case {
    const char* name;
    bool has_origin;
    const char* origin;
    const char* fetch_site;
    std::string token;
    bool allowed;
  } cases[] = {
      {"nothing", false, "", "", "", false},
      {"origin only", true, kOrigin, "", "", false},
      {"token only", false, "", "", session.csrf, false},
      {"foreign origin", true, "http://evil.example", "", session.csrf, false},
      {"cross-site fetch", false, "", "cross-site", session.csrf, false},
      {"wrong token", true, kOrigin, "", wrong, false},
      {"origin and token", true, kOrigin, "", session.csrf, true},
      {"origin in capitals", true, "HTTP://127.0.0.1:8026", "", session.csrf, true},
      {"same-origin fetch", false, "", "same-origin", session.csrf, true},
  };
  for (const Case& c : cases) {
    ConsoleHeaders headers;
    headers.host = kHost;
    headers.has_origin = c.has_origin;
    headers.origin = c.origin;
    headers.sec_fetch_site = c.fetch_site;
    headers.csrf_token = c.token;
    EXPECT_EQ(sessions_.CheckChange(session, headers).empty(), c.allowed) << c.name;
  }
}

TEST_F(ConsoleSessionsTest, CookieNamesTheSessionAndTheOldestEndsBeyondTheBound) {
  ConsoleSession first = SignIn();
  ConsoleSession second = SignIn();
  EXPECT_NE(first.id, second.id);
  EXPECT_NE(first.csrf, second.csrf);
  auto found = [&](const std::string& cookie) {
    ConsoleHeaders headers = FromPage();
    headers.cookie = cookie;
    const ConsoleSession* session = sessions_.Find(headers);
    return session == nullptr ? std::string() : session->id;
  };
  EXPECT_EQ(found("theme=dark; mailvane_session=" + first.id), first.id);
  EXPECT_EQ(found("mailvane_session=forged"), "");
  EXPECT_EQ(found("mailvane_session="), "");
  EXPECT_EQ(found("other_session=" + first.id), "");

  ConsoleSession third = SignIn();  // the bound is two
  EXPECT_EQ(found("mailvane_session=" + first.id), "");
  EXPECT_EQ(found("mailvane_session=" + second.id), second.id);
  sessions_.End(third.id);
  EXPECT_EQ(found("mailvane_session=" + third.id), "");
  EXPECT_EQ(found("mailvane_session=" + second.id), second.id);
}

}  // namespace
}  // namespace mailvane
