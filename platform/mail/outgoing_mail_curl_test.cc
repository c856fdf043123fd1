#include "platform/mail/outgoing_mail_curl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/mail/mail_result.h"
#include "platform/mail/stored_message_gmime.h"

namespace mailvane {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A port on loopback that nothing listens on (bound, then closed).
int DeadPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// smtp_sink.py as a child process, on a port it picks itself.
class SmtpSink {
 public:
  explicit SmtpSink(std::vector<std::string> flags = {}) {
    static int serial = 0;
    dir_ = fs::path(testing::TempDir()) /
           ("sink-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::string script = MAILVANE_SOURCE_DIR "/platform/mail/testdata/smtp_sink.py";
    std::vector<std::string> args = {"/usr/bin/python3",       script,  "--port-file",
                                     (dir_ / "port").string(), "--out", dir_.string()};
    args.insert(args.end(), flags.begin(), flags.end());
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    for (int i = 0; i < 400 && port_ == 0; ++i) {  // up to 10 s for Python to start
      std::ifstream in(dir_ / "port");
      if (!(in >> port_)) {
        port_ = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
    }
  }
  ~SmtpSink() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<fs::path> Mails() const {
    std::vector<fs::path> mails;
    for (const auto& e : fs::directory_iterator(dir_)) {
      if (e.path().extension() == ".eml") mails.push_back(e.path());
    }
    std::sort(mails.begin(), mails.end());
    return mails;
  }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

std::unique_ptr<OutgoingMail> Mail(const std::string& servers, MailOptions options = {}) {
  auto mail = NewCurlOutgoingMail(options);
  mail->Reset();
  mail->SetBodyFormat();
  mail->SetMailServer(servers);
  mail->SetSubject("Grüße – test");
  mail->SetBodyText("Zeile eins: äöü\r\n.dot line\r\nline three");
  mail->AddRecipient("Bob Receiver", "bob@example.org");
  mail->AddRecipient("", "447700900123");
  mail->SetFrom("Zoë Sender");
  mail->SetFromAddr("zoe@example.com");
  return mail;
}

TEST(OutgoingMailTest, DeliversHeadersAndBody) {
  SmtpSink sink;
  ASSERT_NE(sink.port(), 0);
  auto mail = Mail(sink.address());
  ASSERT_EQ(mail->Send(), kMailOk) << mail->Outcome().text;
  EXPECT_EQ(mail->Outcome().text, "");
  auto mails = sink.Mails();
  ASSERT_EQ(mails.size(), 1u);
  std::string raw = ReadAll(mails[0]);
  EXPECT_NE(raw.find("Subject: =?"), std::string::npos) << raw;  // encoded, not raw UTF-8
  EXPECT_NE(raw.find("MIME-Version: 1.0"), std::string::npos);
  EXPECT_NE(raw.find("Message-Id: <"), std::string::npos) << raw;
  EXPECT_NE(raw.find("Date: "), std::string::npos);
  EXPECT_NE(raw.find("charset=utf-8"), std::string::npos);
  for (std::size_t i = raw.find('\n'); i != std::string::npos; i = raw.find('\n', i + 1)) {
    ASSERT_EQ(raw[i - 1], '\r') << "bare LF at " << i;
  }
  ParsedMessage parsed;
  ASSERT_EQ(ParseStoredMessage(raw, &parsed), kMailOk);
  EXPECT_EQ(parsed.subject, "Grüße – test");
  EXPECT_EQ(parsed.from, "Zoë Sender");
  EXPECT_EQ(parsed.from_addr, "zoe@example.com");
  EXPECT_EQ(parsed.body, "Zeile eins: äöü\r\n.dot line\r\nline three");
  ASSERT_EQ(parsed.recipients.size(), 2u);
  EXPECT_EQ(parsed.recipients[0], (MailRecipient{"bob@example.org", "Bob Receiver"}));
  EXPECT_EQ(parsed.recipients[1].address, "447700900123");
  std::string envelope = ReadAll(fs::path(mails[0]).replace_extension(".json"));
  EXPECT_NE(envelope.find("\"mail_from\": \"zoe@example.com\""), std::string::npos) << envelope;
  EXPECT_NE(envelope.find("[\"bob@example.org\", \"447700900123\"]"), std::string::npos)
      << envelope;
}

TEST(OutgoingMailTest, FirstDeadSecondAliveDeliversAtTheSecond) {
  SmtpSink sink;
  ASSERT_NE(sink.port(), 0);
  auto mail = Mail(" ;127.0.0.1:" + std::to_string(DeadPort()) + "; ;" + sink.address() + ";");
  EXPECT_EQ(mail->Send(), kMailOk) << mail->Outcome().text;
  EXPECT_EQ(sink.Mails().size(), 1u);
}

// A self-signed certificate for 127.0.0.1, made with openssl in the folder.
bool MakeCertificate(const fs::path& folder) {
  fs::create_directories(folder);
  std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
      " -addext subjectAltName=IP:127.0.0.1 -keyout " +
      (folder / "key.pem").string() + " -out " + (folder / "cert.pem").string() +
      " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// Each level against a relay without STARTTLS and one offering it with a self-signed
// certificate: what a site behind such a relay sees.
TEST(OutgoingMailTest, TlsLevels) {
  const fs::path certs = fs::path(testing::TempDir()) / ("tls-" + std::to_string(getpid()));
  ASSERT_TRUE(MakeCertificate(certs)) << "openssl req failed";
  const std::string cert = (certs / "cert.pem").string();
  SmtpSink plain;
  SmtpSink starttls({"--tls-cert", cert, "--tls-key", (certs / "key.pem").string()});
  ASSERT_NE(plain.port(), 0);
  ASSERT_NE(starttls.port(), 0);
  struct Case {
    const SmtpSink* sink;
    MailTls level;
    std::string ca_file;
    bool delivered;
  };
  const Case cases[] = {
      {&plain, MailTls::kMay, "", true},
      {&plain, MailTls::kEncrypt, "", false},
      {&plain, MailTls::kVerify, "", false},
      {&starttls, MailTls::kMay, "", true},
      {&starttls, MailTls::kEncrypt, "", true},
      {&starttls, MailTls::kVerify, "", false},  // the system's CAs do not know it
      {&starttls, MailTls::kVerify, cert, true},
  };
  size_t plain_mails = 0;
  size_t tls_mails = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(MailTlsName(c.level)) + (c.sink == &plain ? " plain" : " starttls") +
                 (c.ca_file.empty() ? "" : " with its CA"));
    MailOptions options;
    options.tls = c.level;
    options.tls_ca_file = c.ca_file;
    auto mail = Mail(c.sink->address(), options);
    const long result = mail->Send();
    if (c.delivered) {
      EXPECT_EQ(result, kMailOk) << mail->Outcome().text;
      ++(c.sink == &plain ? plain_mails : tls_mails);
    } else {
      EXPECT_NE(result, kMailOk);
      EXPECT_NE(
          mail->Outcome().text.find(std::string("MailTLS ") + MailTlsName(c.level) + " refused"),
          std::string::npos)
          << mail->Outcome().text;
    }
    EXPECT_EQ(plain.Mails().size(), plain_mails);
    EXPECT_EQ(starttls.Mails().size(), tls_mails);
  }
  fs::remove_all(certs);
}

TEST(OutgoingMailTest, TlsSettingTexts) {
  EXPECT_EQ(ParseMailTls(""), MailTls::kMay);
  EXPECT_EQ(ParseMailTls("Encrypt"), MailTls::kEncrypt);
  EXPECT_EQ(ParseMailTls("VERIFY"), MailTls::kVerify);
  EXPECT_EQ(ParseMailTls("may "), std::nullopt);
  EXPECT_EQ(ParseMailTls("secure"), std::nullopt);
}

TEST(OutgoingMailTest, FailureCodes) {
  SmtpSink refuse_sender({"--refuse-sender"});
  SmtpSink refuse_recipient({"--refuse-recipient", "447700900123"});
  SmtpSink drop({"--drop-in-data"});
  SmtpSink slow({"--delay", "20"});
  for (const SmtpSink* s : {&refuse_sender, &refuse_recipient, &drop, &slow}) {
    ASSERT_NE(s->port(), 0);
  }
  MailOptions short_timeouts;
  short_timeouts.connect_timeout = std::chrono::milliseconds(2000);
  short_timeouts.transfer_timeout = std::chrono::milliseconds(500);
  struct Case {
    std::string servers;
    long code;
    MailOptions options;
  };
  const Case cases[] = {
      {"", kMailNoServer, {}},
      {" ; ;", kMailNoServer, {}},
      {refuse_sender.address(), kMailFromRefused, {}},
      {refuse_recipient.address(), kMailRecipientRefused, {}},
      {"127.0.0.1:" + std::to_string(DeadPort()), kMailConnectError, {}},
      {"nonexistent.invalid", kMailResolveError, {}},
      {drop.address(), kMailSocketError, {}},
      {slow.address(), kMailSocketTimeout, short_timeouts},
      // The last failure decides.
      {refuse_sender.address() + ";nonexistent.invalid", kMailResolveError, {}},
      {"127.0.0.1:0", kMailConnectError, {}},
  };
  for (const Case& c : cases) {
    auto mail = Mail(c.servers, c.options);
    EXPECT_EQ(mail->Send(), c.code) << c.servers << ": " << mail->Outcome().text;
    EXPECT_NE(mail->Outcome().text, "") << c.servers;
    EXPECT_EQ(mail->Outcome().code, c.code) << c.servers;
    if (std::getenv("MAILVANE_SHOW_DETAIL") != nullptr) {
      std::cout << c.code << " <- " << mail->Outcome().text << "\n";
    }
  }
  for (const SmtpSink* s : {&refuse_sender, &refuse_recipient, &drop, &slow}) {
    EXPECT_TRUE(s->Mails().empty());
  }
}

// An abort from another thread ends a dialogue that waits on a slow server, and no later server
// of the list is tried.
TEST(OutgoingMailTest, AnAbortEndsTheSendUnderWay) {
  SmtpSink slow({"--delay", "20"});
  ASSERT_NE(slow.port(), 0);
  MailOptions options;
  options.transfer_timeout = std::chrono::milliseconds(120'000);
  options.abort = std::make_shared<SendAbort>();
  auto mail = Mail(slow.address() + ";127.0.0.1:" + std::to_string(DeadPort()), options);
  std::thread stopper([abort = options.abort] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    abort->Abort();
  });
  EXPECT_EQ(mail->Send(), kMailCancelled) << mail->Outcome().text;
  stopper.join();
  EXPECT_NE(mail->Outcome().text.find(slow.address()), std::string::npos);
  EXPECT_EQ(Mail(slow.address(), options)->Send(), kMailCancelled);  // aborted before it starts
  EXPECT_TRUE(slow.Mails().empty());
}

TEST(OutgoingMailTest, ACachedConnectionCarriesTheNextMailAndRefusalsKeepTheirCodes) {
  SmtpSink sink({"--refuse-recipient", "447700900123"});
  ASSERT_NE(sink.port(), 0);
  auto send = [&](std::shared_ptr<MailConnectionCache> cache, bool refused_too) {
    auto mail = NewCurlOutgoingMail({}, std::move(cache));
    mail->SetMailServer(sink.address());
    mail->SetBodyText("hello");
    mail->AddRecipient("", "bob@example.org");
    if (refused_too) mail->AddRecipient("", "447700900123");
    mail->SetFromAddr("zoe@example.com");
    return mail->Send();
  };
  auto peer_port = [&](std::size_t i) {
    std::string envelope = ReadAll(fs::path(sink.Mails().at(i)).replace_extension(".json"));
    return envelope.substr(envelope.find("\"peer\""));
  };
  std::shared_ptr<MailConnectionCache> cache = NewMailConnectionCache();
  EXPECT_EQ(send(cache, false), kMailOk);
  EXPECT_EQ(send(cache, true), kMailRecipientRefused);
  EXPECT_EQ(send(cache, false), kMailOk);
  EXPECT_EQ(send(cache, false), kMailOk);
  EXPECT_EQ(send(nullptr, false), kMailOk);
  EXPECT_EQ(send(nullptr, false), kMailOk);
  ASSERT_EQ(sink.Mails().size(), 5u);
  EXPECT_EQ(peer_port(1), peer_port(2));  // one connection for the cached mails in a row
  EXPECT_NE(peer_port(2), peer_port(3));  // and a fresh one for each without the cache
  EXPECT_NE(peer_port(3), peer_port(4));
}

TEST(ParseMailServersTest, Entries) {
  struct Case {
    const char* text;
    std::vector<std::pair<std::string, int>> servers;
  };
  const Case cases[] = {
      {"", {}},
      {";;", {}},
      {"mail.example.com", {{"mail.example.com", 25}}},
      {" a.example:2525 ; b.example ", {{"a.example", 2525}, {"b.example", 25}}},
      {"[::1]:2525;[::1]", {{"::1", 2525}, {"::1", 25}}},
      {"::1", {{"::1", 25}}},
      {"host:0;host:65536;host:x;:25", {{"host", 0}, {"host", 0}, {"host", 0}, {"", 0}}},
      {"host:65535", {{"host", 65535}}},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<std::string, int>> got;
    for (const MailServerEntry& e : ParseMailServers(c.text)) got.emplace_back(e.host, e.port);
    EXPECT_EQ(got, c.servers) << c.text;
  }
}

TEST(ComposeMailTextTest, EncodingsRoundTrip) {
  const std::string bodies[] = {
      "plain ascii\r\nsecond line", "bare\nline\rends", "Шановний клієнте, ваше замовлення готове.",
      std::string(1200, 'x'),  // longer than an SMTP line may be
  };
  for (const std::string& body : bodies) {
    std::string text = ComposeMailText({"Name: with, specials",
                                        "a@example.com",
                                        {{"b@example.com", "Bé"}},
                                        "Sub\r\nject",
                                        body,
                                        "example.com"});
    for (std::size_t i = 0, start = 0; i <= text.size(); ++i) {
      if (i == text.size() || text[i] == '\n') {
        EXPECT_LE(i - start, 1000u);
        start = i + 1;
      }
    }
    ParsedMessage parsed;
    ASSERT_EQ(ParseStoredMessage(text, &parsed), kMailOk);
    std::string canonical;
    for (std::size_t i = 0; i < body.size(); ++i) {
      if (body[i] == '\r' || body[i] == '\n') {
        canonical += "\r\n";
        if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      } else {
        canonical.push_back(body[i]);
      }
    }
    // A 7bit or quoted-printable body that does not end in a line break gains one.
    if (parsed.body != canonical) {
      EXPECT_EQ(parsed.body, canonical + "\r\n");
    }
    EXPECT_EQ(parsed.subject, "Sub  ject");
    EXPECT_EQ(parsed.from, "Name: with, specials");
    EXPECT_EQ(parsed.recipients, (std::vector<MailRecipient>{{"b@example.com", "Bé"}}));
  }
}

}  // namespace
}  // namespace mailvane
