#include "platform/sms/provider_settings.h"

#include <gtest/gtest.h>

#include <tuple>

#include "platform/loop/event_loop.h"
#include "platform/mail/testing/fake_mail.h"
#include "platform/registry/testing/fake_registry.h"
#include "platform/sms/http_provider.h"
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
  registry.SetStringValue(kProviderKey, "SuccessPointer", "/messages/0/status");
  ProviderSettings s = ReadProviderSettings(registry);
  EXPECT_EQ(s.Protocol, "smpp");
  EXPECT_EQ(s.Host, "smsc.example");
  EXPECT_EQ(s.Port, "2776");
  EXPECT_EQ(s.SourceAddress, "Alerts");
  EXPECT_EQ(s.Window, "");
  EXPECT_EQ(s.SuccessPointer, "/messages/0/status");
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
      {[](ProviderSettings& s) {
         s = {};
         s.Protocol = "Mail";
       },
       "",
       "",
       {}},
      {[](ProviderSettings&) {}, "acct", "secret", {}},
      {[](ProviderSettings& s) {
         s.Port = "65535";
         s.Window = "100";
         s.Throughput = "10000";
         s.TLS = "1";
         s.DeliveryReports = "0";
         s.SourceAddress = "+44 7700 900123";
         s.SystemType = "123456789012";
       },
       "123456789012345",
       "12345678",
       {}},
      {[](ProviderSettings& s) { s.Protocol = "x25"; },
       "",
       "",
       {"Protocol: \"x25\" is unknown; use mail, smpp or http"}},
      {[](ProviderSettings& s) {
         s.Host = "";
         s.Port = "65536";
         s.TLS = "yes";
         s.SystemType = "1234567890123";
         s.SourceAddress = "Alerts-Central";
         s.Window = "0";
         s.Throughput = "-1";
         s.DeliveryReports = "on";
       },
       "",
       "",
       {"Host: the SMSC's host name or address is missing",
        "Port: \"65536\" is not a port number (1 to 65535)",
        "TLS: \"yes\" must be 1 (on) or 0 (off)", "SystemType: at most 12 characters",
        "SourceAddress: \"Alerts-Central\" is neither a number nor a sender name of at most 11 "
        "ASCII characters",
        "Window: \"0\" must be a whole number from 1 to 100",
        "Throughput: \"-1\" must be a whole number of submits per second from 0 (no limit) to "
        "10000",
        "DeliveryReports: \"on\" must be 1 (on) or 0 (off)",
        "AccessUserName: the system_id for the SMSC is missing"}},
      {[](ProviderSettings& s) {
         s.Window = "101";
         s.SourceAddress = "Zoë";
       },
       "acct",
       "123456789",
       {"SourceAddress: \"Zoë\" is neither a number nor a sender name of at most 11 ASCII "
        "characters",
        "Window: \"101\" must be a whole number from 1 to 100",
        "AccessPassword: at most 8 characters for SMPP"}},
      {[](ProviderSettings&) {},
       "1234567890123456",
       "",
       {"AccessUserName: at most 15 characters for SMPP"}},
  };
  for (const Case& c : cases) {
    ProviderSettings s = Smpp();
    c.change(s);
    EXPECT_EQ(ValidateProviderSettings(s, c.account, c.password), c.problems) << s.Protocol;
  }
}

TEST(ProviderSettingsTest, EveryHttpProblemIsNamed) {
  struct Case {
    void (*change)(ProviderSettings&);
    std::string account;
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {[](ProviderSettings&) {}, "AC1", {}},
      {[](ProviderSettings& s) {
         s.Preset = "Template";
         s.Url = "http://gw.local/send?to={digits}&msg={text}";
         s.Method = "get";
         s.Headers = "X-Key: {password} | Accept: */*";
         s.BasicAuth = "0";
         s.SuccessStatus = "200";
         s.SuccessPointer = "/ok";
         s.SuccessValue = "true";
         s.ErrorPointer = "/error";
         s.ConnectTimeout = "60";
         s.Timeout = "300";
       },
       "",
       {}},
      {[](ProviderSettings&) {}, "", {"AccessUserName: the provider account is missing"}},
      {[](ProviderSettings& s) {
         s.Url = "";
         s.Preset = "";
       },
       "",
       {"Url: the provider's API address is missing",
        "Preset: missing; use form-basic, json-key or template"}},
      {[](ProviderSettings& s) {
         s.Url = "ftp://x/{to}";
         s.Preset = "rest";
         s.Method = "DELETE";
         s.Headers = "X-A: 1|bad line";
         s.Body = "{\"m\":\"{msg}\"}";
         s.BasicAuth = "yes";
         s.SuccessStatus = "2xx";
         s.SuccessPointer = "status";
         s.ErrorPointer = "error";
         s.CAFile = "/nonexistent/ca.pem";
         s.ConnectTimeout = "0";
         s.Timeout = "301";
       },
       "AC1",
       {"Url: \"ftp://x/{to}\" must start with https:// (or http://)",
        "Preset: \"rest\" is unknown; use form-basic, json-key or template",
        "Method: \"DELETE\" must be GET, POST or PUT",
        "Headers: \"bad line\" is not a header line Name: value",
        "Url: {to} is not a placeholder; use {number}, {digits}, {text}, {account}, {password}, "
        "{name}, {from} or {reference}",
        "Body: {msg} is not a placeholder; use {number}, {digits}, {text}, {account}, {password}, "
        "{name}, {from} or {reference}",
        "BasicAuth: \"yes\" must be 1 (on) or 0 (off)",
        "SuccessStatus: \"2xx\" must be a status or a range of them, such as 200-299",
        "SuccessPointer: \"status\" is not a JSON pointer; it starts with /, as /messages/0/status",
        "ErrorPointer: \"error\" is not a JSON pointer; it starts with /, as /messages/0/status",
        "CAFile: \"/nonexistent/ca.pem\" is not a file",
        "ConnectTimeout: \"0\" must be a whole number of seconds from 1 to 60",
        "Timeout: \"301\" must be a whole number of seconds from 1 to 300"}},
      {[](ProviderSettings& s) {
         s.Preset = "template";
         s.SuccessValue = "0";
       },
       "",
       {"Body: the request body template is missing (or use Method GET)",
        "SuccessValue: needs a SuccessPointer to say where the value is"}},
      // A placeholder only where Mailvane knows how to escape it.
      {[](ProviderSettings& s) { s.ContentType = "text/csv"; },
       "AC1",
       {"ContentType: \"text/csv\" cannot be escaped for; with placeholders in the Body use a "
        "form, JSON or XML type, or text/plain"}},
      {[](ProviderSettings& s) {
         s.Preset = "template";
         s.Body = "to={digits}";
       },
       "",
       {"ContentType: missing; with placeholders in the Body use a form, JSON or XML type, or "
        "text/plain"}},
      {[](ProviderSettings& s) {
         s.Preset = "template";
         s.ContentType = "application/xml";
         s.Body = "<t>{text}</t>";
       },
       "",
       {}},
      {[](ProviderSettings& s) {
         s.Preset = "template";
         s.ContentType = "text/plain";
         s.Body = "{reference} {text}";
       },
       "",
       {}},
      {[](ProviderSettings& s) {
         s.Preset = "template";
         s.Body = "fixed";
       },
       "",
       {}},
  };
  for (const Case& c : cases) {
    ProviderSettings s;
    s.Protocol = "HTTP";
    s.Preset = "json-key";
    s.Url = "https://rest.example.com/sms/json";
    c.change(s);
    EXPECT_EQ(ValidateProviderSettings(s, c.account, "pw"), c.problems) << s.Preset;
  }
  // The administrator's values lie over the preset's.
  ProviderSettings s;
  s.Protocol = "http";
  s.Preset = "form-basic";
  s.Url = "https://api.example.com/{account}";
  s.From = "+15005550006";
  s.SuccessStatus = "201";
  s.Headers = "X-Trace: 1";
  s.Timeout = "5";
  HttpProvider p = HttpProviderOf(s);
  EXPECT_EQ(std::tie(p.url, p.from, p.success.low, p.success.high, p.success.pointer, p.basic_auth),
            std::make_tuple(s.Url, s.From, 201L, 201L, std::string("/sid"), true));
  EXPECT_EQ(p.headers, (std::vector<std::pair<std::string, std::string>>{{"X-Trace", "1"}}));
  EXPECT_EQ(HttpClientOptionsOf(s).total_timeout, std::chrono::seconds(5));
  EXPECT_EQ(HttpClientOptionsOf(s).connect_timeout, std::chrono::seconds(10));
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
  SendOutcome result =
      SendTestSms({*loop, mail, nullptr}, Smpp(), {"447700900123", "hi", "", "", "", ""});
  EXPECT_EQ(result.code, kSmsBadSettings);
  EXPECT_EQ(result.text,
            "Provider settings: AccessUserName: the system_id for the SMSC is missing");
  // The mail protocol's test SMS is one gateway request mail.
  result = SendTestSms({*loop, mail, nullptr}, {},
                       {"447700900123", "hi", "acct", "pw", "127.0.0.1", ""});
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
