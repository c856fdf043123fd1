#include "platform/mail/stored_message_gmime.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/mail/mail_result.h"

namespace mailvane {

void PrintTo(const MailRecipient& r, std::ostream* os) {
  *os << r.name << " <" << r.address << ">";
}

namespace {

// The fixtures beside this file (MAILVANE_SOURCE, when set, names the source tree).
std::string TestData(const std::string& name) {
  return MAILVANE_SOURCE_DIR "/platform/mail/testdata/" + name;
}

struct LoadCase {
  const char* file;
  const char* subject;
  const char* from;
  const char* from_addr;
  std::vector<MailRecipient> recipients;
  const char* body;
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.file; }

class LoadMessageTest : public testing::TestWithParam<LoadCase> {};

TEST_P(LoadMessageTest, Fields) {
  const LoadCase& c = GetParam();
  auto message = NewGmimeStoredMessage();
  message->SetTempDirectory("/tmp/");
  ASSERT_EQ(message->LoadMessage(TestData(c.file), 0, 0, 0), kMailOk);
  EXPECT_EQ(message->Subject(), c.subject);
  EXPECT_EQ(message->From(), c.from);
  EXPECT_EQ(message->FromAddr(), c.from_addr);
  EXPECT_EQ(message->Recipients(), c.recipients);
  EXPECT_EQ(message->BodyText(), c.body);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, LoadMessageTest,
    testing::Values(
        LoadCase{"plain_ascii.eml",
                 "Meeting at noon",
                 "Alice Example",
                 "alice@example.com",
                 {{"bob@example.org", "Bob"}},
                 "Hello Bob,\r\nsee you at noon.\r\n"},
        LoadCase{"utf8_8bit.eml",
                 "Grüße aus Köln",
                 "Jürgen Müller",
                 "juergen@example.de",
                 {{"447700900123@sms.example", ""}},
                 "Grüße aus Köln – 10 €\r\nZweite Zeile\r\n"},
        LoadCase{"quoted_printable.eml",
                 "Café crème",
                 "Zoë Q",
                 "zoe@example.com",
                 {{"carol@example.net", "Carol"}},
                 "Café au lait, crème brûlée. \r\nA soft line break joins.\r\n"},
        LoadCase{"base64.eml",
                 "Замовлення",
                 "Shop",
                 "shop@example.com",
                 {{"client@example.com", "Client"}},
                 "Шановний клієнте,\r\nваше замовлення готове.\r\n"},
        LoadCase{"alternative.eml",
                 "Alternative",
                 "News",
                 "news@example.com",
                 {{"reader@example.com", ""}},
                 "Plain version"},
        LoadCase{"mixed_attachment.eml",
                 "Report attached",
                 "Sender",
                 "sender@example.com",
                 {{"447700900123@sms.example", ""}},
                 "The report is attached. £100 due."},
        LoadCase{"html_only.eml",
                 "Form",
                 "Web Form",
                 "form@example.com",
                 {{"447700900123@sms.example", ""}},
                 "Order\u00a0#42 & more:\r\nTom <tom> said \"hi\" €5 ☺\r\nline\r\ntwo"},
        LoadCase{"many_recipients.eml",
                 "Many recipients",
                 "Team",
                 "team@example.com",
                 {{"ann@example.com", "Ann"},
                  {"bjorn@example.com", "Björn"},
                  {"447700900111@sms.example", ""},
                  {"dave@example.com", ""},
                  {"eve@example.com", "Eve E."},
                  {"447700900222", ""}},
                 "x\r\n"},
        LoadCase{"no_domain.eml",
                 "Numbers",
                 "Alice",
                 "alice@example.com",
                 {{"447700900123", ""}, {"447700900124", "Bob"}},
                 "Call me.\r\n"},
        LoadCase{"group_from.eml", "Group sender", "", "", {{"bob@example.org", "Bob"}}, "x\r\n"},
        LoadCase{"no_from.eml", "No sender", "", "", {{"bob@example.org", "Bob"}}, "x\r\n"},
        LoadCase{"latin1_raw_headers.eml",
                 "Déjà vu",
                 "Renée",
                 "renee@example.fr",
                 {{"bob@example.org", ""}},
                 "Un été très chaud.\r\n"},
        LoadCase{"unknown_charset.eml",
                 "unknown charset",
                 "",
                 "a@example.com",
                 {{"b@example.com", ""}},
                 "bytes kept: ok ü\r\n"},
        LoadCase{"bare_lf.eml",
                 "LF only",
                 "",
                 "a@example.com",
                 {{"b@example.com", ""}},
                 "line one\r\nline two\r\nline three\r\n"}),
    [](const testing::TestParamInfo<LoadCase>& info) {
      std::string name = info.param.file;
      return name.substr(0, name.find('.'));
    });

TEST(LoadMessageFailureTest, MissingFileIsOpenError) {
  auto message = NewGmimeStoredMessage();
  EXPECT_EQ(message->LoadMessage(TestData("no-such-file.eml"), 0, 0, 0), kMailFileOpenError);
  EXPECT_TRUE(message->Recipients().empty());
}

TEST(LoadMessageFailureTest, FolderIsOpenError) {
  auto message = NewGmimeStoredMessage();
  EXPECT_EQ(message->LoadMessage(TestData(""), 0, 0, 0), kMailFileOpenError);
}

TEST(LoadMessageFailureTest, UnreadableFileIsTemporaryError) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  std::string path = testing::TempDir() + "unreadable.eml";
  std::ofstream(path) << "Subject: x\r\n\r\nbody\r\n";
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  auto message = NewGmimeStoredMessage();
  EXPECT_EQ(message->LoadMessage(path, 0, 0, 0), kMailFileTemporaryError);
  std::filesystem::remove(path);
}

// With no descriptor left (a child with its limit lowered to 0) a message cannot be loaded now,
// and loads once the limit is back. The child exits 0, or 1 or 2 for the load that went wrong.
TEST(LoadMessageFailureTest, NoDescriptorLeftIsTemporaryError) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto message = NewGmimeStoredMessage();
    // A first call while descriptors are left, for UBSan's type check needs one on first use.
    message->LoadMessage(TestData("no-such-file.eml"), 0, 0, 0);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(3);
    rlimit none{0, limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &none) != 0) _exit(3);
    long now = message->LoadMessage(TestData("plain_ascii.eml"), 0, 0, 0);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(3);
    long later = message->LoadMessage(TestData("plain_ascii.eml"), 0, 0, 0);
    _exit(now != kMailFileTemporaryError ? 1 : later != kMailOk ? 2 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(LoadMessageFailureTest, ErrnosThatMayPass) {
  for (int e : {EMFILE, ENFILE, ENOMEM, EAGAIN, EACCES, EPERM, EIO}) {
    EXPECT_EQ(LoadResultForErrno(e, kMailFileReadError), kMailFileTemporaryError) << e;
  }
  for (int e : {ENOENT, ENOTDIR, ELOOP, EISDIR, ENAMETOOLONG, EINVAL}) {
    EXPECT_EQ(LoadResultForErrno(e, kMailFileOpenError), kMailFileOpenError) << e;
    EXPECT_EQ(LoadResultForErrno(e, kMailFileReadError), kMailFileReadError) << e;
  }
}

TEST(LoadMessageFailureTest, GarbageAndEmptyAreBodyErrors) {
  auto message = NewGmimeStoredMessage();
  EXPECT_EQ(message->LoadMessage(TestData("garbage.bin"), 0, 0, 0), kMailBodyError);
  std::string empty = testing::TempDir() + "empty.eml";
  std::ofstream(empty).close();
  EXPECT_EQ(message->LoadMessage(empty, 0, 0, 0), kMailBodyError);
  std::filesystem::remove(empty);
}

TEST(LoadMessageFailureTest, FailedLoadForgetsThePreviousMessage) {
  auto message = NewGmimeStoredMessage();
  ASSERT_EQ(message->LoadMessage(TestData("plain_ascii.eml"), 0, 0, 0), kMailOk);
  EXPECT_EQ(message->LoadMessage(TestData("garbage.bin"), 0, 0, 0), kMailBodyError);
  EXPECT_EQ(message->Subject(), "");
  EXPECT_TRUE(message->Recipients().empty());
}

// Recipients from To and Cc as people write them: numbers as written, e-mail addresses read as
// addresses.
TEST(ParseStoredMessageTest, RecipientHeaders) {
  struct Case {
    const char* headers;
    std::vector<MailRecipient> recipients;
  };
  const Case cases[] = {
      {"To: +44 7700 900123", {{"+44 7700 900123", ""}}},
      {"To: 07700 900123", {{"07700 900123", ""}}},
      {"To: Bob <+44 7700-900124>", {{"+44 7700-900124", "Bob"}}},
      {"Cc: 07700 900125", {{"07700 900125", ""}}},
      {"To: 07700\r\n 900123,\r\n\t+44 7700 900124",
       {{"07700 900123", ""}, {"+44 7700 900124", ""}}},
      {"To: \"Smith, Bob\" <07700 900123>, \"A \\\"B\\\" C\" <07700 900124>",
       {{"07700 900123", "Smith, Bob"}, {"07700 900124", "A \"B\" C"}}},
      {"To: (07700) 900123", {{"(07700) 900123", ""}}},
      {"To: (home, work) 07700 900123, Bob <07700, 900124>",
       {{"(home, work) 07700 900123", ""}, {"07700, 900124", "Bob"}}},
      {"To: +44 7700 900123@sms.example", {{"+44 7700 900123@sms.example", ""}}},
      {"To: Friends: dave@example.com, \"Eve E.\" <eve@example.com>;, 447700900222",
       {{"dave@example.com", ""}, {"eve@example.com", "Eve E."}, {"447700900222", ""}}},
      {"To: Team: 07700 900123, ann@example.com;", {{"07700 900123", ""}, {"ann@example.com", ""}}},
      {"To: =?UTF-8?Q?Bj=C3=B6rn?= <07700 900123>, =?UTF-8?Q?Bj=C3=B6rn?= <bjorn@example.com>",
       {{"07700 900123", "Björn"}, {"bjorn@example.com", "Björn"}}},
      {"To: 07700 900123, Ann <ann@example.com>, 447700900111@sms.example\r\n"
       "Cc: 447700900222, bob@example.org (Bob), Bob <07700-900124>\r\nTo: +44 7700 900125",
       {{"07700 900123", ""},
        {"ann@example.com", "Ann"},
        {"447700900111@sms.example", ""},
        {"+44 7700 900125", ""},
        {"447700900222", ""},
        {"bob@example.org", "Bob"},
        {"07700-900124", "Bob"}}},
      {"To: ,, 07700 900123 ,,\r\nCc: Nobody <>, (just a comment)", {{"07700 900123", ""}}},
      // A comment before the "@" of what is no e-mail address may be part of a number: kept.
      {"To: (07700)900127@sms.example, Bob <(07700)900128@sms.example>",
       {{"(07700)900127@sms.example", ""}, {"(07700)900128@sms.example", "Bob"}}},
      {"To: 07700(x)900127@sms.example, (Ann) ann@example.com",
       {{"07700(x)900127@sms.example", ""}, {"ann@example.com", ""}}},
  };
  for (const Case& c : cases) {
    ParsedMessage parsed;
    std::string text = std::string("From: a@example.com\r\n") + c.headers + "\r\n\r\nx\r\n";
    ASSERT_EQ(ParseStoredMessage(text, &parsed), kMailOk) << c.headers;
    EXPECT_EQ(parsed.recipients, c.recipients) << c.headers;
  }
}

TEST(ParseStoredMessageTest, NestingAtTheBoundParsesBeyondItIsRefused) {
  auto nested = [](int depth) {
    std::string text = "From: a@example.com\r\nSubject: deep\r\n";
    for (int i = 0; i < depth; ++i) {
      text += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" +
              std::to_string(i) + "\r\n";
    }
    text += "Content-Type: text/plain\r\n\r\ninnermost\r\n";
    for (int i = depth - 1; i >= 0; --i) text += "--b" + std::to_string(i) + "--\r\n";
    return text;
  };
  ParsedMessage parsed;
  ASSERT_EQ(ParseStoredMessage(nested(kMaxMimeDepth), &parsed), kMailOk);
  EXPECT_EQ(parsed.body, "innermost");
  EXPECT_EQ(ParseStoredMessage(nested(kMaxMimeDepth + 1), &parsed), kMailBodyError);
}

TEST(ParseStoredMessageTest, OversizedTextIsRefused) {
  std::string text = "Subject: big\r\n\r\n";
  text.resize(kMaxStoredMessageBytes + 1, 'x');
  ParsedMessage parsed;
  EXPECT_EQ(ParseStoredMessage(text, &parsed), kMailBodyError);
}

TEST(HtmlToTextTest, Conversions) {
  struct Case {
    const char* html;
    const char* text;
  };
  const Case cases[] = {
      {"<p>a</p><p>b</p>", "a\nb"},
      {"x &amp;amp; y", "x &amp; y"},
      {"fish &chips; &unknown; & done", "fish &chips; &unknown; & done"},
      {"a<!-- <p>hidden</p> -->b", "ab"},
      {"<SCRIPT>if (a<b) x();</SCRIPT>shown", "shown"},
      {"many   spaces\n\tand lines", "many spaces and lines"},
      {"&#0; &#xD800; &#99999999;", "\xEF\xBF\xBD \xEF\xBF\xBD \xEF\xBF\xBD"},
      {"unclosed <b", "unclosed"},
  };
  for (const Case& c : cases) EXPECT_EQ(HtmlToText(c.html), c.text) << c.html;
}

}  // namespace
}  // namespace mailvane
