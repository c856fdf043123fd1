#include "common/recipients.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/mail/stored_message_gmime.h"

namespace mailvane {
namespace {

using ::testing::ElementsAreArray;

// The addresses the handler's reader takes from the message.
std::vector<std::string> ReaderAddresses(const std::string& message) {
  ParsedMessage parsed;
  EXPECT_EQ(ParseStoredMessage(message, &parsed), 0) << message;
  std::vector<std::string> addresses;
  for (const MailRecipient& r : parsed.recipients) addresses.push_back(r.address);
  return addresses;
}

// Every header that is taken as plain gives exactly the reader's addresses; a header that is not
// is left to the reader. The second half are forms the reader reads differently from how they
// are written, or where it may see the header end elsewhere.
TEST(PlainHeaderRecipientsTest, PlainHeadersGiveTheReadersAddressesAndTheRestAreLeftToIt) {
  using Addresses = std::vector<std::string>;
  struct Case {
    const char* header;
    std::optional<Addresses> plain;  // nullopt: not plain
  } cases[] = {
      {"To: 447700900123@example.com\r\n", Addresses{"447700900123@example.com"}},
      {"From: <a@example.com>\r\nTo: <447700900123@example.com>\r\nDate: Wed, 9 Dec 2026\r\n",
       Addresses{"447700900123@example.com"}},
      {"Cc: 07700-900124\r\nto: Alice Smith <alice@example.com>, +44 7700 900123\r\n",
       Addresses{"alice@example.com", "+44 7700 900123", "07700-900124"}},
      {"To: a@example.com,\r\n\tb.c@mail.example.org\r\nTO: <+447700900125>\r\nCc:\r\n",
       Addresses{"a@example.com", "b.c@mail.example.org", "+447700900125"}},
      {"Subject: caf\xc3\xa9\r\nTo: bob@example.com, , 07700 900123\r\n",
       Addresses{"bob@example.com", "07700 900123"}},
      {"Subject: no one\r\n", Addresses{}},

      {"To: \"Smith, Alice\" <alice@example.com>\r\n", std::nullopt},
      {"To: alice@example.com (Alice)\r\n", std::nullopt},
      {"To: friends: alice@example.com, bob@example.com;\r\n", std::nullopt},
      {"To: =?UTF-8?Q?Ren=C3=A9?= <rene@example.com>\r\n", std::nullopt},
      {"To: J. Smith <j@example.com>\r\n", std::nullopt},
      {"To: caf\xc3\xa9 <c@example.com>\r\n", std::nullopt},
      {"To: a..b@example.com\r\n", std::nullopt},
      {"To: a@xn--caf-dma.example\r\n", std::nullopt},
      {"To: a@[127.0.0.1]\r\n", std::nullopt},
      {"To: <a@example.com\r\n", std::nullopt},
      {"Subject: x\nTo: a@example.com\r\n", std::nullopt},
      {"Subject: x\r\n \r\nTo: a@example.com\r\n", std::nullopt},  // a blank line to some readers
      {" To: a@example.com\r\n", std::nullopt},
      {"X-Note\r\nTo: a@example.com\r\n", std::nullopt},
      {"To : a@example.com\r\n", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string message = std::string(c.header) + "\r\nbody\r\n";
    const std::optional<std::vector<std::string>> plain = PlainHeaderRecipients(message);
    EXPECT_EQ(plain, c.plain) << c.header;
    if (plain) {
      EXPECT_THAT(ReaderAddresses(message), ElementsAreArray(*plain)) << c.header;
    }
  }
  EXPECT_FALSE(PlainHeaderRecipients("To: a@example.com\r\n").has_value());  // no end of header
}

TEST(PlainHeaderRecipientsTest, TheRecordIsSparedOnlyWhenTheHeadersNameEveryRecipient) {
  const std::string message = "To: +44 7700 900123, Bob <Bob@Example.com>\r\n\r\nhi\r\n";
  EXPECT_TRUE(HeadersNameEveryRecipient(message, {"+447700900123", "bob@example.com", ""}));
  EXPECT_FALSE(HeadersNameEveryRecipient(message, {"+447700900123", "carol@example.com"}));
  EXPECT_FALSE(HeadersNameEveryRecipient("Subject: x\r\n\r\n", {"+447700900123"}));
  EXPECT_FALSE(HeadersNameEveryRecipient("To: (x) 07700 900123\r\n\r\n", {"07700900123"}));
  // What the handler serves is the same with and without the record: nothing is left out.
  ParsedMessage parsed;
  ASSERT_EQ(ParseStoredMessage(message, &parsed), 0);
  EXPECT_TRUE(
      EnvelopeOnlyRecipients(parsed.recipients, {"+447700900123", "bob@example.com"}).empty());
}

TEST(NumberDigitsTest, FormattingIsReadAndWhatWouldBeAGuessIsNoNumber) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"(07700) 900127", "07700900127"},
      {"(07700)900127", "07700900127"},
      {" +44 7700-900.127", "+447700900127"},
      {"+1 (555) 010-0199", "+15550100199"},
      {"(0)7700 900127", "07700900127"},  // a national number's own zero
      {"+44 (0) 7700 900127", std::nullopt},
      {"0044 (0)7700 900127", std::nullopt},
      {"(Bob)07700900127", std::nullopt},
      {"07700 900127 ext 5", std::nullopt},
      {"07700\t900127", std::nullopt},
      {"44+7700", std::nullopt},
      {"-+44", std::nullopt},
      {"(07700 900127", std::nullopt},
      {"07700) 900127", std::nullopt},
      {"((07700))900127", std::nullopt},
      {"()07700", std::nullopt},
      {" - ", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [number, digits] : cases) EXPECT_EQ(NumberDigits(number), digits) << number;
  EXPECT_EQ(ProviderNumber("(07700) 900.127"), "07700 900127");
  EXPECT_EQ(ProviderNumber("+44 (0) 7700"), "+44 (0) 7700");  // for the renderer to refuse
}

}  // namespace
}  // namespace mailvane
