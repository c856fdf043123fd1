#include "platform/mail/mail_result.h"

#include <gtest/gtest.h>

#include <string>

namespace mailvane {
namespace {

TEST(MailResultTextTest, CodesWithTexts) {
  struct Case {
    long code;
    const char* text;
  };
  const Case cases[] = {
      {kMailException, "An exception has occurred."},
      {kMailOutOfMemory, " The process has run out of memory."},
      {kMailBodyError,
       "An error has occurred due to a problem with the message body or attachments."},
      {kMailConversationError,
       "There was a problem initiating the conversation with the mail server. Ensure the setting "
       "of the Domain property is correct."},
      {kMailFromRefused,
       "The from address was not formatted correctly or was rejected by the SMTP mail server. "
       "Some SMTP mail servers will only accept mail from particular addresses or domains. SMTP "
       "mail servers may also reject a from address if the server can not successfully do a "
       "reverse lookup on the from address."},
      {kMailRecipientRefused,
       "An error was reported in response to a recipient address. The SMTP server may refuse to "
       "handle mail for unknown recipients."},
      {kMailConnectError, "There was an error connecting to the SMTP mail server."},
      {kMailFileOpenError,
       "There was an error opening a file. If you have specified file attachments, ensure that "
       "they exist and that you have access to them."},
      {kMailFileReadError,
       "There was an error reading a file. If you have specified file attachments, ensure that "
       "they exist and the you have access to them."},
      {kMailNoServer, "No mail server specified."},
      {kMailSocketError, "There was a problem with the connection and a socket error occurred."},
      {kMailResolveError, "Could not resolve host."},
      {kMailBadResponse, "Connected but server sent back bad response."},
      {kMailThreadError, "Could not create thread."},
      {kMailCancelled, "Cancelled as a result of calling the Cancel() method."},
      {kMailResolveTimeout, "The operation timed-out while the host was being resolved."},
      {kMailConnectTimeout, "The operation timed-out while connecting."},
      {kMailAuthFailed, "ESMTP Authentication failed."},
      {kMailAuthNotSupported,
       "The selected ESMTP Authentication mode is not supported by the server."},
      {kMailAuthProtocolError, "ESMTP Authentication protocol error."},
      {kMailSocketTimeout, "Socket Timeout Error"},
  };
  for (const Case& c : cases) {
    const char* text = MailResultText(c.code);
    ASSERT_NE(text, nullptr) << c.code;
    EXPECT_EQ(std::string(text), c.text) << c.code;
  }
}

TEST(MailResultTextTest, CodesWithoutTexts) {
  for (long code : {0L, 2L, 6L, 12L, 13L, 14L, 23L, 28L, 42L, -1L, 101L, 102L}) {
    EXPECT_EQ(MailResultText(code), nullptr) << code;
  }
}

}  // namespace
}  // namespace mailvane
