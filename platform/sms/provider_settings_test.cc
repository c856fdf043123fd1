#include "platform/sms/provider_settings.h"

#include <gtest/gtest.h>

#include <tuple>

#include "platform/loop/event_loop.h"
#include "platform/mail/testing/fake_mail.h"
#include "platform/registry/testing/fake_registry.h"
#include "platform/sms/smpp_session.h"

namespace mailvane {
namespace {

ProviderSettings Smpp() {
  ProviderSettings s;
  s.Protocol = "smpp";
  s.Host = "smsc.example";
  return s;
}

TEST(ProviderSettingsTest, ReadFromTheProviderKey) {
  FakeRegistry registry;
  registry.SetStringValue(kProviderKey, "Protocol", "smpp");
  registry.SetStringValue(kProviderKey, "Host", "smsc.example");
  registry.SetDwordValue(kProviderKey, "Port", 2776);
  registry.SetRawValue(kProviderKey, "SourceAddress", 1, "Alerts");  // stored without its NUL
  registry.SetStringValue("SOFTWARE\\Mailvane", "Window", "5");      // another key's value
  ProviderSettings s = ReadProviderSettings(registry);
  EXPECT_EQ(s.Protocol, "smpp");
  EXPECT_EQ(s.Host, "smsc.example");
  EXPECT_EQ(s.Port, "2776");
  EXPECT_EQ(s.SourceAddress, "Alerts");
  EXPECT_EQ(s.Window, "");
  SmppSessionOptions o = SmppOptionsOf(s);
  EXPECT_EQ(std::tie(o.port, o.window, o.throughput, o.tls, o.delivery_reports),
            std::make_tuple(uint16_t{2776}, 10, 0, false, false));
}

TEST(ProviderSettingsTest, EveryProblemIsNamed) {
  struct Case {
    void (*change)(ProviderSettings&);
    std::string account;
    std::string password;
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {[](ProviderSettings& s) { s = {}; }, "", "", {}},  // mail, the default
      {[](ProviderSettings& s) { s = {}; s.Protocol = "Mail"; }, "", "", {}},
      {[](ProviderSettings&) {}, "acct", "secret", {}},
      {[](ProviderSettings& s) {
         s.Port = "65535"; s.Window = "100"; s.Throughput = "10000"; s.TLS = "1";
         s.DeliveryReports = "0"; s.SourceAddress = "+44 7700 900123"; s.SystemType = "123456789012";
       }, "123456789012345", "12345678", {}},
      {[](ProviderSettings& s) { s.Protocol = "http"; }, "", "",
       {"Protocol: \"http\" is not available yet; use mail or smpp"}},
      {[](ProviderSettings& s) { s.Protocol = "x25"; }, "", "",
       {"Protocol: \"x25\" is unknown; use mail or smpp"}},
      {[](ProviderSettings& s) {
         s.Host = ""; s.Port = "65536"; s.TLS = "yes"; s.SystemType = "1234567890123";
         s.SourceAddress = "Alerts-Central"; s.Window = "0"; s.Throughput = "-1";
         s.DeliveryReports = "on";
       }, "", "",
       {"Host: the SMSC's host name or address is missing",
        "Port: \"65536\" is not a port number (1 to 65535)",
        "TLS: \"yes\" must be 1 (on) or 0 (off)",
        "SystemType: at most 12 characters",
        "SourceAddress: \"Alerts-Central\" is neither a number nor a sender name of at most 11 "
        "ASCII characters",
        "Window: \"0\" must be a whole number from 1 to 100",
        "Throughput: \"-1\" must be a whole number of submits per second from 0 (no limit) to "
        "10000",
        "DeliveryReports: \"on\" must be 1 (on) or 0 (off)",
        "AccessUserName: the system_id for the SMSC is missing"}},
      {[](ProviderSettings& s) { s.Window = "101"; s.SourceAddress = "Zoë"; }, "acct", "123456789",
       {"SourceAddress: \"Zoë\" is neither a number nor a sender name of at most 11 ASCII "
        "characters",
        "Window: \"101\" must be a whole number from 1 to 100",
        "AccessPassword: at most 8 characters for SMPP"}},
      {[](ProviderSettings&) {}, "1234567890123456", "", {"AccessUserName: at most 15 characters for SMPP"}},
  };
  for (const Case& c : cases) {
    ProviderSettings s = Smpp();
    c.change(s);
    EXPECT_EQ(ValidateProviderSettings(s, c.account, c.password), c.problems) << s.Protocol;
  }
}

// Settings that cannot be used fail every Send with the first problem, before any connection.
TEST(ProviderSettingsTest, UnusableSettingsFailEachSendAndTheTestSms) {
  std::unique_ptr<EventLoop> loop = NewEventLoop();
  FakeMailFactory mail;
  ProviderSettings s = Smpp();
  s.Port = "0";
  auto factory = NewProviderSmsRendererFactory({*loop, mail, nullptr}, s);
  auto renderer = factory->NewRenderer();
  renderer->AddRecipient("447700900123", "");
  EXPECT_EQ(renderer->Send(), kSmsBadSettings);
  EXPECT_EQ(renderer->ErrorText(),
            "Provider settings: Port: \"0\" is not a port number (1 to 65535)");
  TestSmsResult result = SendTestSms({*loop, mail, nullptr}, Smpp(), {"447700900123", "hi", "", "", "", ""});
  EXPECT_EQ(result.code, kSmsBadSettings);
  EXPECT_EQ(result.error_text, "Provider settings: AccessUserName: the system_id for the SMSC is missing");
  // The mail protocol's test SMS is one gateway request mail.
  result = SendTestSms({*loop, mail, nullptr}, {}, {"447700900123", "hi", "acct", "pw", "127.0.0.1", ""});
  EXPECT_EQ(result.code, 0);
  ASSERT_EQ(mail.sent().size(), 1u);
  EXPECT_EQ(mail.sent()[0].servers, "127.0.0.1");
}

// What the SMPP renderer refuses before it connects (the host here does not exist).
TEST(ProviderSettingsTest, SmppRendererRefusesBeforeSending) {
  std::unique_ptr<EventLoop> loop = NewEventLoop();
  FakeMailFactory mail;
  auto factory = NewProviderSmsRendererFactory({*loop, mail, nullptr}, Smpp());
  struct Case {
    std::string account, number, text;
    long code;
    std::string error;
  };
  const Case cases[] = {
      {"", "447700900123", "hi", kSmsIncomplete, "SMS request incomplete: no account"},
      {"acct", "4477a", "hi", kSmsInvalidNumber, "Invalid mobile number \"4477a\""},
      {"acct", "447700900123", std::string(153 * 255 + 1, 'a'), kSmsTextTooLong,
       "SMS text too long: 256 parts, at most 255"},
      {"a-very-long-system-id", "447700900123", "hi", kSmsBadSettings,
       "AccessUserName: at most 15 characters for SMPP"},
  };
  for (const Case& c : cases) {
    auto renderer = factory->NewRenderer();
    renderer->SetAccount(c.account);
    renderer->SetMessage(c.text);
    renderer->AddRecipient(c.number, "");
    EXPECT_EQ(renderer->Send(), c.code) << c.error;
    EXPECT_EQ(renderer->ErrorText(), c.error);
  }
  factory->Close();
  auto after = factory->NewRenderer();
  after->SetAccount("acct");
  after->AddRecipient("447700900123", "");
  EXPECT_EQ(after->Send(), kSmsProviderFailed);
  EXPECT_EQ(after->ErrorText(), "SMPP session closed");
}

}  // namespace
}  // namespace mailvane
