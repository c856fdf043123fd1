#include "handler/provider_outage.h"

#include <gtest/gtest.h>

#include "platform/loop/testing/fake_clock.h"
#include "platform/sms/provider_settings.h"

namespace mailvane {
namespace {

TEST(ProviderNameTest, NamesTheProtocolAndWhereSmsGo) {
  auto named = [](std::string protocol, std::string host, std::string port, std::string url) {
    ProviderSettings s;
    s.Protocol = std::move(protocol);
    s.Host = std::move(host);
    s.Port = std::move(port);
    s.Url = std::move(url);
    return ProviderName(s);
  };
  EXPECT_EQ(named("SMPP", "smsc.example", "2776", ""), "smpp smsc.example:2776");
  EXPECT_EQ(named("smpp", "10.0.0.1", "", ""), "smpp 10.0.0.1:2775");
  EXPECT_EQ(named("http", "", "", "https://api.example:8443/v1/sms?to={number}"),
            "http api.example:8443");
  EXPECT_EQ(named("", "", "", ""), "mail sms-gateway@gateway.mailvane.example");
}

TEST(ProviderOutageTest, OneMailWhenItBeginsOneAnHourAndOneWhenItEnds) {
  FakeClock clock;  // 07/12/2026 09:07:03
  ProviderOutage outage(clock, "smpp h:1");
  EXPECT_FALSE(outage.EndPass(true));  // a pass that sent nothing changes nothing
  outage.Failed("connection refused");
  clock.Advance(std::chrono::seconds(2));
  outage.Failed("bind refused");
  std::optional<OutageNotice> begun = outage.EndPass(true);
  ASSERT_TRUE(begun);
  EXPECT_EQ(begun->subject, "Provider down");
  EXPECT_EQ(begun->text,
            "SMS provider smpp h:1 cannot be used since 07/12/2026 09:07:03: bind refused. 2 SMS "
            "wait and are retried; no error mail is sent per message until the provider recovers");
  EXPECT_EQ(outage.DownText(), "smpp h:1 since 07/12/2026 09:07:03 (bind refused)");

  clock.Advance(std::chrono::minutes(59));
  outage.Failed("bind refused");
  EXPECT_FALSE(outage.EndPass(true));
  clock.Advance(std::chrono::minutes(1));
  for (int n = 0; n < 3; ++n) outage.Failed("bind refused");
  std::optional<OutageNotice> reminder = outage.EndPass(true);
  ASSERT_TRUE(reminder);
  EXPECT_EQ(reminder->subject, "Provider still down");
  EXPECT_NE(reminder->text.find(": bind refused. 3 SMS wait"), std::string::npos);
  clock.Advance(std::chrono::minutes(5));
  outage.Failed("bind refused");
  EXPECT_FALSE(outage.EndPass(true));  // the hour counts from the reminder

  clock.Advance(std::chrono::minutes(1));
  outage.Failed("busy");  // a pass that also sent: the provider works
  outage.Sent();
  outage.Sent();
  std::optional<OutageNotice> ended = outage.EndPass(false);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->subject, "Provider recovered");
  EXPECT_EQ(ended->text, "SMS provider smpp h:1 recovered after 66 minutes, 2 SMS sent");
  EXPECT_FALSE(outage.down());
  EXPECT_EQ(outage.DownText(), "");
  outage.Sent();
  EXPECT_FALSE(outage.EndPass(true));
}

TEST(ProviderOutageTest, AnOutageSeenInAPartialPassIsAnnouncedByTheNextFullOne) {
  FakeClock clock;
  ProviderOutage outage(clock, "http api.example");
  outage.Failed("TLS handshake failed");
  EXPECT_FALSE(outage.EndPass(false));
  EXPECT_TRUE(outage.down());  // seen at once, for monitoring
  outage.Sent();
  EXPECT_FALSE(outage.EndPass(false));  // over before it was announced: no mail at all
  EXPECT_FALSE(outage.down());
  outage.Failed("TLS handshake failed");
  EXPECT_FALSE(outage.EndPass(false));
  outage.Failed("TLS handshake failed");
  outage.Failed("TLS handshake failed");
  std::optional<OutageNotice> begun = outage.EndPass(true);
  ASSERT_TRUE(begun);
  EXPECT_NE(begun->text.find(": TLS handshake failed. 2 SMS wait"), std::string::npos);
}

}  // namespace
}  // namespace mailvane
