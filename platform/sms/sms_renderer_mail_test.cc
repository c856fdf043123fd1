#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "platform/mail/mail_result.h"
#include "platform/mail/testing/fake_mail.h"
#include "platform/sms/sms_renderer.h"

namespace mailvane {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

// Reads a request body as a provider would: the version line, then "Key: value" lines with
// percent-encoded values, up to the "End" line. Fails the test on anything else.
Fields ParseRequest(const std::string& body) {
  Fields fields;
  std::size_t pos = 0;
  bool first = true;
  bool ended = false;
  while (pos < body.size()) {
    std::size_t end = body.find("\r\n", pos);
    EXPECT_NE(end, std::string::npos) << "unterminated line";
    if (end == std::string::npos) break;
    std::string line = body.substr(pos, end - pos);
    pos = end + 2;
    EXPECT_FALSE(ended) << "line after End: " << line;
    if (first) {
      EXPECT_EQ(line, "Mailvane-SMS-Request: 1");
      first = false;
      continue;
    }
    std::size_t colon = line.find(": ");
    EXPECT_NE(colon, std::string::npos) << line;
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    std::string raw = line.substr(colon + 2);
    std::string value;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(raw[i]);
      if (c == '%') {
        EXPECT_LE(i + 2, raw.size() - 1) << raw;
        if (i + 2 >= raw.size()) break;
        value.push_back(static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16)));
        i += 2;
      } else {
        EXPECT_TRUE(std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') << raw;
        value.push_back(static_cast<char>(c));
      }
    }
    if (key == "End") {
      EXPECT_EQ(value, "1");
      ended = true;
      continue;
    }
    fields.emplace_back(key, value);
  }
  EXPECT_TRUE(ended) << "no End line";
  return fields;
}

struct Request {
  std::string reply_address = "alerts@example.com";
  std::string reply_name = "Zoë: Alerts";
  std::string text = "Line one: 50% off\r\nline two – ünïcödé %41 ☺";
  std::string number = "+44 7700-900123";
  std::string name = "Bob @ Home";
};

long SendRequest(FakeMailFactory& mail, const Request& r, std::string* error_text,
                 const std::string& gateway = kSmsGatewayAddress,
                 const std::string& account = "acct-1", SendFailure* failure = nullptr) {
  auto factory = NewMailSmsRendererFactory(mail);
  auto renderer = factory->NewRenderer();
  renderer->SetMailServer("smtp1.example;smtp2.example:2525");
  renderer->SetMailAddress(gateway);
  renderer->SetReplyAddress(r.reply_address);
  renderer->SetReplyName(r.reply_name);
  renderer->SetMessage(r.text);
  renderer->SetAccount(account);
  renderer->SetPassword("p@ss: word");
  renderer->AddRecipient(r.number, r.name);
  long result = renderer->Send();
  *error_text = renderer->ErrorText();
  if (failure != nullptr) *failure = renderer->Failure();
  return result;
}

TEST(MailSmsRendererTest, RequestFieldsRoundTrip) {
  FakeMailFactory mail;
  Request r;
  std::string error;
  ASSERT_EQ(SendRequest(mail, r, &error), 0);
  EXPECT_EQ(error, "");
  ASSERT_EQ(mail.sent().size(), 1u);
  const SentMail& sent = mail.sent()[0];
  EXPECT_EQ(sent.servers, "smtp1.example;smtp2.example:2525");
  EXPECT_EQ(sent.subject, "SMS request");
  ASSERT_EQ(sent.recipients.size(), 1u);
  EXPECT_EQ(sent.recipients[0].address, kSmsGatewayAddress);
  EXPECT_EQ(sent.from, "Zoë: Alerts");
  EXPECT_EQ(sent.from_addr, "alerts@example.com");
  EXPECT_EQ(ParseRequest(sent.body), (Fields{{"Account", "acct-1"},
                                             {"Password", "p@ss: word"},
                                             {"Number", "+44 7700-900123"},
                                             {"Digits", "+447700900123"},
                                             {"Name", "Bob @ Home"},
                                             {"ReplyName", "Zoë: Alerts"},
                                             {"ReplyAddress", "alerts@example.com"},
                                             {"Text", r.text}}));
}

TEST(MailSmsRendererTest, EmptyReplyAddressSendsFromTheFixedSender) {
  FakeMailFactory mail;
  Request r;
  r.reply_address = "";
  r.text = "";
  std::string error;
  ASSERT_EQ(SendRequest(mail, r, &error), 0);
  ASSERT_EQ(mail.sent().size(), 1u);
  EXPECT_EQ(mail.sent()[0].from_addr, "mailvane@localhost");
  Fields fields = ParseRequest(mail.sent()[0].body);
  EXPECT_EQ(fields[6], (std::pair<std::string, std::string>{"ReplyAddress", ""}));
  EXPECT_EQ(fields[7], (std::pair<std::string, std::string>{"Text", ""}));
}

TEST(MailSmsRendererTest, NumbersThatAreRefusedWithoutSending) {
  struct Case {
    const char* number;
    bool valid;
  };
  const Case cases[] = {
      {"447700900123", true},
      {"+447700900123", true},
      {"0770 090-0123", true},
      {" +44 7700", true},
      {"7", true},
      {"", false},
      {"+", false},
      {" - ", false},
      {"44+77", false},
      {"++44", false},
      {"4477a", false},
      {"1.5", false},
      {"1e5", false},
      {"447700\r\n900", false},
      {"٤٤٧", false},
  };
  for (const Case& c : cases) {
    FakeMailFactory mail;
    Request r;
    r.number = c.number;
    std::string error;
    long result = SendRequest(mail, r, &error);
    if (c.valid) {
      EXPECT_EQ(result, 0) << c.number;
      EXPECT_EQ(mail.sent().size(), 1u) << c.number;
    } else {
      EXPECT_EQ(result, kSmsInvalidNumber) << c.number;
      EXPECT_EQ(error, "Invalid mobile number \"" + std::string(c.number) + "\"");
      EXPECT_EQ(mail.outgoing_mails_created(), 0) << c.number;
    }
  }
}

TEST(MailSmsRendererTest, IncompleteRequests) {
  struct Case {
    std::string gateway;
    std::string account;
    const char* error;
  };
  const Case cases[] = {
      {"", "acct", "SMS request incomplete: no gateway address"},
      {kSmsGatewayAddress, "", "SMS request incomplete: no account"},
  };
  for (const Case& c : cases) {
    FakeMailFactory mail;
    std::string error;
    EXPECT_EQ(SendRequest(mail, Request{}, &error, c.gateway, c.account), kSmsIncomplete);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(mail.outgoing_mails_created(), 0);
  }
  FakeMailFactory mail;
  auto renderer = NewMailSmsRendererFactory(mail)->NewRenderer();
  renderer->SetMailAddress(kSmsGatewayAddress);
  renderer->SetAccount("acct");
  EXPECT_EQ(renderer->Send(), kSmsIncomplete);
  EXPECT_EQ(renderer->ErrorText(), "SMS request incomplete: no recipient");
}

TEST(MailSmsRendererTest, MailFailuresCarryTheMailCodeAndText) {
  struct Case {
    long code;
    const char* detail;
    std::string error;
    SendFailure failure;
  };
  const Case cases[] = {
      {kMailRecipientRefused, "RCPT failed: 550",
       "SMS gateway request failed: An error was reported in response to a recipient address. "
       "The SMTP server may refuse to handle mail for unknown recipients. (RCPT failed: 550)",
       SendFailure::kProvider},
      {kMailNoServer, "", "SMS gateway request failed: No mail server specified. ()",
       SendFailure::kProvider},
      {kMailOutOfMemory, "x", "SMS gateway request failed:  The process has run out of memory. (x)",
       SendFailure::kTemporary},
      {23, "odd", "SMS gateway request failed: code 23 (odd)", SendFailure::kTemporary},
      {kMailConnectTimeout, "t", "", SendFailure::kProvider},
      {kMailAuthFailed, "a", "", SendFailure::kProvider},
      {kMailFromRefused, "f", "", SendFailure::kTemporary},
      {kMailSocketTimeout, "s", "", SendFailure::kTemporary},
      {kMailCancelled, "c", "", SendFailure::kStopping},
  };
  for (const Case& c : cases) {
    FakeMailFactory mail;
    mail.QueueSendResult(c.code, c.detail);
    std::string error;
    SendFailure failure = SendFailure::kNone;
    EXPECT_EQ(SendRequest(mail, Request{}, &error, kSmsGatewayAddress, "acct-1", &failure), c.code);
    if (!c.error.empty()) {
      EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(failure, c.failure) << c.code;
  }
}

TEST(MailSmsRendererTest, ErrorTextIsClearedBySuccess) {
  FakeMailFactory mail;
  mail.QueueSendResult(kMailConnectError, "refused");
  auto renderer = NewMailSmsRendererFactory(mail)->NewRenderer();
  renderer->SetMailAddress(kSmsGatewayAddress);
  renderer->SetAccount("acct");
  renderer->AddRecipient("447700900123", "");
  EXPECT_EQ(renderer->Send(), kMailConnectError);
  EXPECT_NE(renderer->ErrorText(), "");
  EXPECT_EQ(renderer->Send(), 0);
  EXPECT_EQ(renderer->ErrorText(), "");
  EXPECT_EQ(mail.live_objects(), 0);  // each request mail released after its Send
}

// The example of docs/provider-request.md, byte for byte.
TEST(MailSmsRendererTest, DocumentedExample) {
  FakeMailFactory mail;
  auto factory = NewMailSmsRendererFactory(mail);
  auto renderer = factory->NewRenderer();
  renderer->SetMailAddress(kSmsGatewayAddress);
  renderer->SetReplyAddress("alerts@example.com");
  renderer->SetReplyName("Zoë");
  renderer->SetMessage("Meet at 10:30\r\n– Zoë");
  renderer->SetAccount("acct-1");
  renderer->SetPassword("p@ss: word");
  renderer->AddRecipient("+44 7700-900123", "Bob");
  ASSERT_EQ(renderer->Send(), 0);
  ASSERT_EQ(mail.sent().size(), 1u);
  EXPECT_EQ(mail.sent()[0].body,
            "Mailvane-SMS-Request: 1\r\n"
            "Account: acct-1\r\n"
            "Password: p%40ss%3A%20word\r\n"
            "Number: %2B44%207700-900123\r\n"
            "Digits: %2B447700900123\r\n"
            "Name: Bob\r\n"
            "ReplyName: Zo%C3%AB\r\n"
            "ReplyAddress: alerts%40example.com\r\n"
            "Text: Meet%20at%2010%3A30%0D%0A%E2%80%93%20Zo%C3%AB\r\n"
            "End: 1\r\n");
}

}  // namespace
}  // namespace mailvane
