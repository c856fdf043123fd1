#include "platform/smtp/smtp_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mailvane {
namespace {

SmtpLimits SmallLimits() {
  SmtpLimits limits;
  limits.max_line_length = 64;
  limits.max_message_size = 100;
  limits.max_recipients = 3;
  limits.max_errors = 3;
  limits.max_pending_output = 64 * 1024;
  return limits;
}

SmtpSessionOptions Options(SmtpLimits limits = SmallLimits()) {
  SmtpSessionOptions options;
  options.host_name = "mx.test";
  options.greeting_text = "Hi, from the Mailvane";
  options.closing_text = "Bye from the Mailvane";
  options.limits = limits;
  return options;
}

// The final lines of the replies in output ("250-" continuation lines are left out).
std::vector<std::string> Replies(const std::string& output) {
  std::vector<std::string> replies;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find("\r\n", start);
    if (end == std::string::npos) {
      replies.push_back("<unterminated>" + output.substr(start));
      break;
    }
    std::string line = output.substr(start, end - start);
    if (line.size() < 4 || line[3] != '-') replies.push_back(line);
    start = end + 2;
  }
  return replies;
}

std::vector<int> Codes(const std::string& output) {
  std::vector<int> codes;
  for (const std::string& reply : Replies(output)) codes.push_back(std::stoi(reply.substr(0, 3)));
  return codes;
}

// A greeted session with its greeting taken.
struct Fixture {
  explicit Fixture(SmtpLimits limits = SmallLimits()) : session(Options(limits)) {
    session.Greet();
    greeting = session.TakeOutput();
  }
  std::string Send(const std::string& bytes) {
    session.Feed(bytes);
    return session.TakeOutput();
  }
  SmtpSession session;
  std::string greeting;
};

constexpr char kEnvelope[] = "EHLO client\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nDATA\r\n";

TEST(SmtpSessionTest, GreetingAndQuitUseTheirTexts) {
  Fixture f;
  EXPECT_EQ(f.greeting, "220 mx.test Hi, from the Mailvane\r\n");
  EXPECT_EQ(f.Send("QUIT\r\n"), "221 2.0.0 Bye from the Mailvane\r\n");
  EXPECT_TRUE(f.session.closed());
  EXPECT_EQ(f.Send("NOOP\r\n"), "");  // nothing is read after QUIT
}

TEST(SmtpSessionTest, EhloAnnouncesTheExtensions) {
  Fixture f;
  EXPECT_EQ(f.Send("EHLO client.example\r\n"),
            "250-mx.test\r\n250-SIZE 100\r\n250-8BITMIME\r\n250-PIPELINING\r\n"
            "250 ENHANCEDSTATUSCODES\r\n");
}

struct CommandCase {
  std::string setup;    // commands sent before, their replies not checked
  const char* command;  // without CR LF
  const char* reply;    // the start of the expected reply
};

TEST(SmtpSessionTest, CommandReplies) {
  const std::string kMail = "HELO c\r\nMAIL FROM:<a@x>\r\n";
  const std::string kRcpt = kMail + "RCPT TO:<b@y>\r\n";
  const CommandCase cases[] = {
      {"", "HELO client", "250 mx.test"},
      {"", "helo client", "250 mx.test"},
      {"", "HELO", "501 5.5.4"},
      {"", "EHLO", "501 5.5.4"},
      {"", "MAIL FROM:<a@x>", "503 5.5.1"},
      {"HELO c\r\n", "MAIL FROM:<a@x>", "250 2.1.0"},
      {"HELO c\r\n", "mail from:<a@x>", "250 2.1.0"},
      {"HELO c\r\n", "MAIL FROM:<>", "250 2.1.0"},
      {"HELO c\r\n", "MAIL FROM: <a@x>", "250 2.1.0"},
      {"HELO c\r\n", "MAIL FROM:<\"john doe\"@x>", "250 2.1.0"},
      {"HELO c\r\n", "MAIL FROM:<@r1,@r2:a@x>", "250 2.1.0"},
      {"HELO c\r\n", "MAIL FROM:a@x", "501 5.5.4"},
      {"HELO c\r\n", "MAIL FROM:<a b@x>", "501 5.5.4"},
      {"HELO c\r\n", "MAIL FROM:<a@x", "501 5.5.4"},
      {"HELO c\r\n", "MAIL FROM:<a@x>junk", "501 5.5.4"},
      {"HELO c\r\n", "MAIL TO:<a@x>", "501 5.5.4"},
      {"HELO c\r\n", "MAIL FROM:<a@x> SIZE=100", "250 2.1.0"},
      {"HELO c\r\n", "MAIL FROM:<a@x> SIZE=101", "552 5.3.4"},
      {"HELO c\r\n", "MAIL FROM:<a@x> SIZE=99999999999999999999999", "501 5.5.4"},
      {"HELO c\r\n", "MAIL FROM:<a@x> SIZE=12a", "501 5.5.4"},
      {"HELO c\r\n", "MAIL FROM:<a@x> BODY=8BITMIME", "250 2.1.0"},
      {"HELO c\r\n", "MAIL FROM:<a@x> body=7bit size=10", "250 2.1.0"},
      {"HELO c\r\n", "MAIL FROM:<a@x> BODY=BINARYMIME", "501 5.5.4"},
      {"HELO c\r\n", "MAIL FROM:<a@x> SMTPUTF8", "555 5.5.4"},
      {kMail, "MAIL FROM:<a@x>", "503 5.5.1"},
      {"HELO c\r\n", "RCPT TO:<b@y>", "503 5.5.1"},
      {kMail, "RCPT TO:<b@y>", "250 2.1.5"},
      {kMail, "rcpt to: <b@y>", "250 2.1.5"},
      {kMail, "RCPT TO:<postmaster>", "250 2.1.5"},
      {kMail, "RCPT TO:<>", "501 5.5.4"},
      {kMail, "RCPT TO:<b@y> NOTIFY=NEVER", "555 5.5.4"},
      {"HELO c\r\n", "DATA", "503 5.5.1"},
      {kMail, "DATA", "503 5.5.1"},
      {kRcpt, "DATA now", "501 5.5.4"},
      {kRcpt, "DATA", "354 "},
      {kRcpt, "RSET", "250 2.0.0"},
      {kRcpt + "RSET\r\n", "DATA", "503 5.5.1"},
      {kRcpt + "HELO c\r\n", "RCPT TO:<b@y>", "503 5.5.1"},
      {"", "RSET x", "501 5.5.4"},
      {"", "NOOP", "250 2.0.0"},
      {"", "NOOP anything", "250 2.0.0"},
      {"", "VRFY someone", "252 2.0.0"},
      {"", "VRFY", "501 5.5.4"},
      {"", "HELP", "214 2.0.0"},
      {"", "EXPN list", "502 5.5.1"},
      {"", "STARTTLS", "502 5.5.1"},
      {"", "FROB", "500 5.5.2"},
      {"", "", "500 5.5.2"},
      {"", "   ", "500 5.5.2"},
      {"", "MAIL\tFROM:<a@x>", "500 5.5.2"},
  };
  for (const CommandCase& c : cases) {
    Fixture f;
    f.Send(c.setup);
    std::string output = f.Send(std::string(c.command) + "\r\n");
    std::vector<std::string> replies = Replies(output);
    ASSERT_EQ(replies.size(), 1u) << c.setup << c.command << " -> " << output;
    EXPECT_EQ(replies[0].rfind(c.reply, 0), 0u)
        << "after [" << c.setup << "] " << c.command << " -> " << replies[0];
  }
}

TEST(SmtpSessionTest, NulInACommandIsASyntaxError) {
  Fixture f;
  EXPECT_EQ(f.Send(std::string("NO\0OP\r\n", 7)), "500 5.5.2 Syntax error: NUL in command\r\n");
  EXPECT_EQ(f.Send(std::string("HELO a\0b\r\n", 10)).substr(0, 9), "500 5.5.2");
  EXPECT_EQ(f.session.errors(), 2);
}

TEST(SmtpSessionTest, BareLfEndsACommandAndCommandsAreReadAcrossChunks) {
  Fixture f;
  std::string output;
  for (char c : std::string("NOOP\nHELO c\r\nRSET\r\n")) output += f.Send(std::string(1, c));
  EXPECT_EQ(Codes(output), (std::vector<int>{250, 250, 250}));
}

TEST(SmtpSessionTest, CommandLineLengthAtTheBound) {
  Fixture f;
  std::string at_bound = "NOOP " + std::string(64 - 5, 'x');
  EXPECT_EQ(Codes(f.Send(at_bound + "\r\n")), std::vector<int>{250});
  EXPECT_EQ(f.Send(at_bound + "y\r\n"), "500 5.5.6 Line too long\r\n");
  // A huge line, byte by byte, is discarded to its end and answered once; the next command counts.
  std::string output;
  std::string huge = "NOOP " + std::string(100000, 'z') + "\r\nNOOP\r\n";
  for (char c : huge) output += f.Send(std::string(1, c));
  EXPECT_EQ(Codes(output), (std::vector<int>{500, 250}));
  EXPECT_FALSE(f.session.closed());
}

TEST(SmtpSessionTest, ErrorsAtTheBoundThenDisconnect) {
  Fixture f;
  EXPECT_EQ(Codes(f.Send("FROB\r\nFROB\r\nFROB\r\n")), (std::vector<int>{500, 500, 500}));
  EXPECT_FALSE(f.session.closed());
  EXPECT_EQ(Codes(f.Send("NOOP\r\n")), std::vector<int>{250});  // good commands do not count
  std::string output = f.Send("FROB\r\nNOOP\r\n");
  EXPECT_EQ(Replies(output), (std::vector<std::string>{"500 5.5.2 Error: command not recognized",
                                                       "421 4.7.0 Too many errors"}));
  EXPECT_TRUE(f.session.closed());
}

TEST(SmtpSessionTest, RecipientsAtTheBound) {
  Fixture f;
  std::string output = f.Send(
      "HELO c\r\nMAIL FROM:<a@x>\r\nRCPT TO:<1@y>\r\nRCPT TO:<2@y>\r\nRCPT TO:<3@y>\r\n"
      "RCPT TO:<4@y>\r\nDATA\r\nhi\r\n.\r\n");
  EXPECT_EQ(Codes(output), (std::vector<int>{250, 250, 250, 250, 250, 452, 354}));
  EXPECT_NE(output.find("452 4.5.3 Too many recipients\r\n"), std::string::npos);
  ASSERT_TRUE(f.session.message_ready());
  SmtpMessage message = f.session.TakeMessage();
  EXPECT_EQ(message.recipients, (std::vector<std::string>{"1@y", "2@y", "3@y"}));
  EXPECT_EQ(message.recipient_text, "1@y, 2@y, 3@y");
  EXPECT_EQ(f.session.errors(), 0);
}

TEST(SmtpSessionTest, MessageCarriesEnvelopeAndText) {
  Fixture f;
  f.Send("EHLO c\r\nMAIL FROM:<@relay:a@x> SIZE=20\r\nRCPT TO:<b@y>\r\nRCPT TO:<+4912345@sms>\r\n");
  f.Send("DATA\r\nSubject: hi\r\n\r\nbody\r\n.\r\n");
  ASSERT_TRUE(f.session.message_ready());
  EXPECT_TRUE(f.session.awaiting_answer());
  SmtpMessage message = f.session.TakeMessage();
  EXPECT_EQ(message.sender, "a@x");
  EXPECT_EQ(message.recipient_text, "b@y, +4912345@sms");
  EXPECT_EQ(message.text, "Subject: hi\r\n\r\nbody");
  EXPECT_EQ(message.byte_count, message.text.size());
  f.session.Answer(SmtpReply{250, "2.0.0 Ok: queued as 7"});
  EXPECT_EQ(f.session.TakeOutput(), "250 2.0.0 Ok: queued as 7\r\n");
  // The transaction is over: a new one may begin, with the HELO still valid.
  EXPECT_EQ(Codes(f.Send("RCPT TO:<b@y>\r\nMAIL FROM:<a@x>\r\n")), (std::vector<int>{503, 250}));
}

// Feeds the message text whole, byte by byte, and split at every point; all must agree.
void ExpectText(const std::string& data, const std::string& expected) {
  std::vector<std::vector<std::string>> splits;
  splits.push_back({data});
  std::vector<std::string> bytes;
  for (char c : data) bytes.emplace_back(1, c);
  splits.push_back(bytes);
  for (size_t i = 1; i < data.size(); ++i) splits.push_back({data.substr(0, i), data.substr(i)});
  for (const auto& chunks : splits) {
    Fixture f;
    f.Send(kEnvelope);
    std::string output;
    for (const std::string& chunk : chunks) output += f.Send(chunk);
    ASSERT_TRUE(f.session.message_ready()) << "data " << testing::PrintToString(data) << " in "
                                           << chunks.size() << " chunks: " << output;
    EXPECT_EQ(f.session.TakeMessage().text, expected) << testing::PrintToString(data);
    EXPECT_EQ(output, "");
  }
}

TEST(SmtpSessionTest, DotUnstuffingAndEndOfDataAcrossChunks) {
  ExpectText("Hello\r\n.\r\n", "Hello");
  ExpectText(".\r\n", "");
  ExpectText("\r\n.\r\n", "");
  ExpectText("a\r\n\r\n.\r\n", "a\r\n");
  ExpectText("..\r\n.\r\n", ".");
  ExpectText("...\r\n.\r\n", "..");
  ExpectText(".x\r\n.\r\n", "x");
  ExpectText("a\r\n..b\r\n.\r\n", "a\r\n.b");
  ExpectText("a. \r\n .\r\n.\r\n", "a. \r\n .");
  ExpectText("\xc3\xa4\xff\r\n.\r\n", "\xc3\xa4\xff");
  ExpectText("a\r\n.\r\nNOT TEXT", "a");  // what follows the end is a command, held
}

TEST(SmtpSessionTest, BareLfEndsATextLineStoredAsCrLfAndNeverTheText) {
  ExpectText("a\nb\r\n.\r\n", "a\r\nb");
  ExpectText("\n\r\n.\r\n", "\r\n");
  ExpectText("a\n..b\r\n.\r\n", "a\r\n.b");
  // Dot lines that a lax reader takes for the end: text, the dot unstuffed. Only a "." line
  // between two CR LF ends the text.
  ExpectText("a\n.\nb\r\n.\r\n", "a\r\n\r\nb");
  ExpectText("a\r\n.\nb\r\n.\r\n", "a\r\n\r\nb");
  ExpectText("a\n.\r\nb\r\n.\r\n", "a\r\n\r\nb");
  ExpectText(".\n.\r\n.\r\n", "\r\n");
  ExpectText("a\n.\nMAIL FROM:<evil@x>\nRCPT TO:<v@y>\nDATA\nevil\n.\nb\r\n.\r\n",
             "a\r\n\r\nMAIL FROM:<evil@x>\r\nRCPT TO:<v@y>\r\nDATA\r\nevil\r\n\r\nb");
  // Text lines are bounded only by the message size (64 is the command bound here).
  ExpectText(std::string(99, 'x') + "\r\n.\r\n", std::string(99, 'x'));
  ExpectText("." + std::string(100, 'x') + "\r\n.\r\n", std::string(100, 'x'));
}

TEST(SmtpSessionTest, LineEndsAreFoundAcrossLongLines) {
  SmtpLimits limits = SmallLimits();
  limits.max_message_size = 64 * 1024;
  const std::string x(300, 'x'), y(255, 'y'), z(257, 'z');
  const struct {
    std::string data;
    std::string text;  // empty: refused for a bare CR
  } cases[] = {
      {x + "\n" + y + "\r\n" + z + "\r\n.\r\n", x + "\r\n" + y + "\r\n" + z},
      {x + y + "\r\n" + std::string(3000, '\n') + "end\r\n.\r\n",
       [&] {
         std::string text = x + y + "\r\n";
         for (int i = 0; i < 3000; ++i) text += "\r\n";
         return text + "end";
       }()},
      {z + z + "\r" + x + "\r\n.\r\n", ""},
      {x + "\n" + z + "\r" + y + "\r\n.\r\n", ""},
  };
  for (const auto& c : cases) {
    Fixture f(limits);
    f.Send(kEnvelope);
    const std::string output = f.Send(c.data);
    if (c.text.empty()) {
      EXPECT_EQ(Replies(output), std::vector<std::string>{"550 5.6.0 Bare <CR> in message text"});
    } else {
      ASSERT_TRUE(f.session.message_ready()) << output;
      EXPECT_EQ(f.session.TakeMessage().text, c.text);
    }
  }
}

struct HostileCase {
  const char* name;
  std::string data;  // after the 354
  const char* reply;
};

TEST(SmtpSessionTest, HostileTextIsReadToItsEndAndRefused) {
  const HostileCase cases[] = {
      {"bare CR", "a\r.\rb\r\n.\r\n", "550 5.6.0 Bare <CR> in message text"},
      {"dot bare CR", ".\r.\r\n.\r\n", "550 5.6.0 Bare <CR> in message text"},
      {"CR CR LF", "a\r\r\n.\r\n", "550 5.6.0 Bare <CR> in message text"},
      {"one byte over the size", std::string(50, 'x') + "\r\n" + std::string(49, 'y') + "\r\n.\r\n",
       "552 5.3.4 Message too big"},
      {"over the size as stored", std::string(50, 'x') + "\n" + std::string(49, 'y') + "\r\n.\r\n",
       "552 5.3.4 Message too big"},
      {"far over the size", std::string(5000, 'x') + "\r\n.\r\n", "552 5.3.4 Message too big"},
      {"over the size wins", std::string(200, 'x') + "\r\r\n.\r\n", "552 5.3.4 Message too big"},
  };
  for (const HostileCase& c : cases) {
    for (bool bytewise : {false, true}) {
      Fixture f;
      f.Send(kEnvelope);
      std::string output;
      if (bytewise) {
        for (char ch : c.data) output += f.Send(std::string(1, ch));
      } else {
        output = f.Send(c.data);
      }
      EXPECT_EQ(Replies(output), std::vector<std::string>{c.reply}) << c.name;
      EXPECT_FALSE(f.session.message_ready()) << c.name;
      EXPECT_FALSE(f.session.in_data()) << c.name;
      EXPECT_EQ(f.session.TakeRefusals(), std::vector<std::string>{c.reply}) << c.name;
      // The refused transaction is over and the session goes on.
      EXPECT_EQ(Codes(f.Send("MAIL FROM:<a@x>\r\n")), std::vector<int>{250}) << c.name;
    }
  }
}

TEST(SmtpSessionTest, EachRefusedTransactionIsReportedOnce) {
  const std::string kMail = "HELO c\r\nMAIL FROM:<a@x>\r\n";
  const std::string kErrors = "FROB\r\nFROB\r\nFROB\r\nFROB\r\n";  // one over max_errors
  struct Case {
    const char* name;
    std::string input;
    bool time_out;
    std::vector<std::string> refusals;
  } cases[] = {
      {"command errors outside a transaction", "FROB\r\nHELO c\r\nRCPT TO:<b@y>\r\n", false, {}},
      {"421 outside a transaction", kErrors, false, {}},
      {"time-out outside a transaction", "HELO c\r\n", true, {}},
      {"refused recipients do not end it", kMail + "RCPT TO:<>\r\nDATA\r\nRSET\r\n", false, {}},
      {"MAIL refused for its size",
       "HELO c\r\nMAIL FROM:<a@x> SIZE=101\r\n" + kErrors,
       false,
       {"552 5.3.4 Message size exceeds fixed limit"}},
      {"421 for errors in a transaction", kMail + kErrors, false, {"421 4.7.0 Too many errors"}},
      {"time-out in a transaction", kMail, true, {"421 4.4.2 mx.test Error: timeout exceeded"}},
      {"time-out in DATA",
       kMail + "RCPT TO:<b@y>\r\nDATA\r\nhalf",
       true,
       {"421 4.4.2 mx.test Error: timeout exceeded"}},
      {"two refused in a row",
       kMail + "RCPT TO:<b@y>\r\nDATA\r\na\rb\r\n.\r\n" + "MAIL FROM:<a@x> SIZE=999\r\n",
       false,
       {"550 5.6.0 Bare <CR> in message text", "552 5.3.4 Message size exceeds fixed limit"}},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.Send(c.input);
    if (c.time_out) f.session.OnTimeout();
    EXPECT_EQ(f.session.TakeRefusals(), c.refusals) << c.name;
    EXPECT_EQ(f.session.TakeRefusals(), std::vector<std::string>{}) << c.name;
  }
  // An answered message is never a refusal, not even a 451; too much held input is one.
  Fixture f;
  f.Send(std::string(kEnvelope) + ".\r\n");
  f.session.TakeMessage();
  f.session.Answer(SmtpReply{451, ""});
  EXPECT_EQ(f.session.TakeRefusals(), std::vector<std::string>{});
  f.Send(std::string("MAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nDATA\r\n.\r\n"));
  ASSERT_TRUE(f.session.message_ready());
  f.session.Feed(std::string(SmtpSession::kMaxHeldInput + 1, 'N'));
  EXPECT_EQ(f.session.TakeRefusals(),
            std::vector<std::string>{"421 4.7.0 Too much pipelined input"});
}

TEST(SmtpSessionTest, LimitsAtTheBoundAreAccepted) {
  std::string at_size = std::string(49, 'x') + "\r\n" + std::string(49, 'y');  // 100 bytes
  for (const std::string& sent : {at_size, std::string(49, 'x') + "\n" + std::string(49, 'y')}) {
    Fixture f;
    f.Send(kEnvelope);
    f.Send(sent + "\r\n.\r\n");
    ASSERT_TRUE(f.session.message_ready());
    SmtpMessage message = f.session.TakeMessage();
    EXPECT_EQ(message.text, at_size);
    EXPECT_EQ(message.byte_count, 100u);
  }
}

TEST(SmtpSessionTest, PipelinedTransactionInOneWrite) {
  Fixture f;
  std::string output = f.Send(
      "EHLO c\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nRCPT TO:<c@y>\r\nDATA\r\n"
      "Subject: one\r\n\r\nfirst\r\n.\r\nMAIL FROM:<d@x>\r\nRCPT TO:<e@y>\r\nDATA\r\nsecond\r\n"
      ".\r\nQUIT\r\n");
  // Replies up to the 354; the rest waits for the answer to the first message.
  EXPECT_EQ(Codes(output), (std::vector<int>{250, 250, 250, 250, 354}));
  ASSERT_TRUE(f.session.message_ready());
  EXPECT_EQ(f.session.TakeMessage().text, "Subject: one\r\n\r\nfirst");
  EXPECT_EQ(f.Send("NOOP\r\n"), "");  // still held, in order
  EXPECT_FALSE(f.session.message_ready());

  f.session.Answer(SmtpReply{250, "2.0.0 Ok: queued"});
  EXPECT_EQ(Codes(f.session.TakeOutput()), (std::vector<int>{250, 250, 250, 354}));
  ASSERT_TRUE(f.session.message_ready());
  SmtpMessage second = f.session.TakeMessage();
  EXPECT_EQ(second.text, "second");
  EXPECT_EQ(second.sender, "d@x");
  EXPECT_FALSE(f.session.closed());

  f.session.Answer(SmtpReply{451, "4.3.0 Error: try again later"});
  EXPECT_EQ(Replies(f.session.TakeOutput()),
            (std::vector<std::string>{"451 4.3.0 Error: try again later",
                                      "221 2.0.0 Bye from the Mailvane"}));
  EXPECT_TRUE(f.session.closed());
}

TEST(SmtpSessionTest, AnswersAreSanitised) {
  struct Case {
    SmtpReply reply;
    const char* expected;
  };
  const Case cases[] = {
      {{250, ""}, "250 2.0.0 Ok: queued\r\n"},
      {{451, ""}, "451 4.3.0 Error: local error in processing\r\n"},
      {{0, "2.0.0 whatever"}, "451 4.3.0 Error: local error in processing\r\n"},
      {{700, "x"}, "451 4.3.0 Error: local error in processing\r\n"},
      {{250, "2.0.0 Ok\r\n250 injected"}, "250 2.0.0 Ok  250 injected\r\n"},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.Send(std::string(kEnvelope) + ".\r\n");
    ASSERT_TRUE(f.session.message_ready());
    f.session.TakeMessage();
    f.session.Answer(c.reply);
    EXPECT_EQ(f.session.TakeOutput(), c.expected);
    f.session.Answer(SmtpReply{250, "twice"});  // no answer is awaited any more
    EXPECT_EQ(f.session.TakeOutput(), "");
  }
}

TEST(SmtpSessionTest, TimeoutRepliesAndCloses) {
  Fixture f;
  f.session.OnTimeout();
  EXPECT_EQ(f.session.TakeOutput(), "421 4.4.2 mx.test Error: timeout exceeded\r\n");
  EXPECT_TRUE(f.session.closed());
}

TEST(SmtpSessionTest, RefusalReplacesTheGreeting) {
  SmtpSession session(Options());
  session.Refuse(554, "5.7.1 Access denied");
  EXPECT_EQ(session.TakeOutput(), "554 5.7.1 Access denied\r\n");
  EXPECT_TRUE(session.closed());
}

TEST(SmtpSessionTest, UnreadOutputOverTheBoundStopsTheSession) {
  SmtpLimits limits = SmallLimits();
  limits.max_pending_output = 1000;
  Fixture f(limits);
  std::string noops;
  for (int i = 0; i < 1000; ++i) noops += "NOOP\r\n";
  f.session.Feed(noops);  // output not taken: a client that does not read
  EXPECT_TRUE(f.session.overflow());
  EXPECT_TRUE(f.session.closed());
  EXPECT_LE(f.session.pending_output(), 1000u + 64u);
}

TEST(SmtpSessionTest, HeldInputIsBounded) {
  Fixture f;
  f.Send(std::string(kEnvelope) + ".\r\n");
  ASSERT_TRUE(f.session.message_ready());
  f.session.Feed(std::string(SmtpSession::kMaxHeldInput, 'N'));
  EXPECT_FALSE(f.session.closed());
  EXPECT_EQ(f.Send("N"), "421 4.7.0 Too much pipelined input\r\n");
  EXPECT_TRUE(f.session.closed());
}

}  // namespace
}  // namespace mailvane
