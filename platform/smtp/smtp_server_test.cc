#include "platform/smtp/smtp_server.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/smtp/testing/smtp_test_support.h"

namespace mailvane {
namespace {

using testing_support::BlockingClient;
using testing_support::RecordingEvents;
using testing_support::RunWithClients;

constexpr char kTransaction[] =
    "EHLO client\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nDATA\r\nSubject: t\r\n\r\nbody\r\n.\r\n";

struct Server {
  explicit Server(SmtpLimits limits = {}) : loop(NewEventLoop()) {
    server = NewSmtpServer(*loop, events, limits);
    server->SetPort(0);
    server->SetGreetingText("Hi, from the Mailvane");
    server->SetClosingText("Bye from the Mailvane");
    started = !server->Start();
    port = server->BoundPort();
  }
  RecordingEvents events;
  std::unique_ptr<EventLoop> loop;
  std::unique_ptr<SmtpServer> server;
  bool started = false;
  uint16_t port = 0;
};

// Sends one command and returns the first line of its reply.
std::string Command(BlockingClient& client, const std::string& line) {
  client.Send(line + "\r\n");
  return client.ReadReply();
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

TEST(SmtpServerTest, DeliversAMessageAndClosesOnQuit) {
  Server s;
  ASSERT_TRUE(s.started);
  ASSERT_NE(s.port, 0);
  std::string greeting, ehlo, mail, rcpt, data, end, quit;
  bool closed = false;
  RunWithClients(*s.loop, {[&] {
    BlockingClient client(s.port);
    greeting = client.ReadReply();
    ehlo = Command(client, "EHLO client");
    mail = Command(client, "MAIL FROM:<a@x>");
    rcpt = Command(client, "RCPT TO:<b@y>");
    data = Command(client, "DATA");
    end = Command(client, "Subject: t\r\n\r\n..dot\r\n.");
    quit = Command(client, "QUIT");
    closed = client.PeerClosed();
  }});
  EXPECT_TRUE(StartsWith(greeting, "220 ")) << greeting;
  EXPECT_NE(greeting.find(" Hi, from the Mailvane\r\n"), std::string::npos) << greeting;
  EXPECT_NE(ehlo.find("250 ENHANCEDSTATUSCODES"), std::string::npos) << ehlo;
  EXPECT_TRUE(StartsWith(mail, "250 2.1.0")) << mail;
  EXPECT_TRUE(StartsWith(rcpt, "250 2.1.5")) << rcpt;
  EXPECT_TRUE(StartsWith(data, "354 ")) << data;
  EXPECT_EQ(end, "250 2.0.0 Ok: queued\r\n");
  EXPECT_EQ(quit, "221 2.0.0 Bye from the Mailvane\r\n");
  EXPECT_TRUE(closed);
  EXPECT_EQ(s.events.connecting, std::vector<std::string>{"127.0.0.1"});
  ASSERT_EQ(s.events.messages.size(), 1u);
  EXPECT_EQ(s.events.messages[0].text, "Subject: t\r\n\r\n.dot");
  EXPECT_EQ(s.events.senders, std::vector<std::string>{"127.0.0.1"});
}

TEST(SmtpServerTest, RefusedClientGets554AndIsClosed) {
  Server s;
  ASSERT_TRUE(s.started);
  s.events.admit = false;
  std::string all;
  bool closed = false;
  RunWithClients(*s.loop, {[&] {
    BlockingClient client(s.port);
    all = client.ReadToEnd();
    closed = !client.Send("HELO x\r\n") || client.PeerClosed();
  }});
  EXPECT_EQ(all, "554 5.7.1 Access denied\r\n");
  EXPECT_TRUE(closed);
  EXPECT_EQ(s.events.connecting.size(), 1u);
}

TEST(SmtpServerTest, Ipv6ClientIsRefusedAtTcp) {
  // Whether ::1 exists here: a socket bound to it says so.
  int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 loopback{};
  loopback.sin6_family = AF_INET6;
  loopback.sin6_addr = in6addr_loopback;
  bool has_v6 =
      probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0;
  if (probe >= 0) close(probe);
  if (!has_v6) GTEST_SKIP() << "no IPv6 loopback here";
  Server s;
  ASSERT_TRUE(s.started);
  bool v6_connected = true;
  std::string v4_greeting;
  RunWithClients(*s.loop, {[&] {
    v6_connected = BlockingClient(s.port, "::1").connected();
    BlockingClient v4(s.port);
    v4_greeting = v4.ReadReply();
  }});
  EXPECT_FALSE(v6_connected);  // so a client falls back to 127.0.0.1
  EXPECT_TRUE(StartsWith(v4_greeting, "220 ")) << v4_greeting;
  EXPECT_EQ(s.events.connecting, std::vector<std::string>{"127.0.0.1"});
}

TEST(SmtpServerTest, ConnectionsOverTheBoundGet421) {
  SmtpLimits limits;
  limits.max_connections = 2;
  Server s(limits);
  ASSERT_TRUE(s.started);
  std::string first, second, third, after;
  RunWithClients(*s.loop, {[&] {
    BlockingClient a(s.port);
    first = a.ReadReply();
    BlockingClient b(s.port);
    second = b.ReadReply();
    BlockingClient c(s.port);
    third = c.ReadToEnd();
    // The first two are still served.
    after = Command(a, "NOOP") + Command(b, "NOOP");
  }});
  EXPECT_TRUE(StartsWith(first, "220 "));
  EXPECT_TRUE(StartsWith(second, "220 "));
  EXPECT_EQ(third, "421 4.3.2 Too many connections\r\n");
  EXPECT_EQ(after, "250 2.0.0 Ok\r\n250 2.0.0 Ok\r\n");
  EXPECT_EQ(s.events.connecting.size(), 2u);  // the third never reached Connecting
}

TEST(SmtpServerTest, SilentClientIsDroppedWhileAnotherIsServed) {
  SmtpLimits limits;
  limits.command_timeout = std::chrono::milliseconds(300);
  Server s(limits);
  ASSERT_TRUE(s.started);
  std::string silent_greeting, silent_rest, busy;
  bool silent_closed = false;
  RunWithClients(*s.loop, {[&] {
                             BlockingClient silent(s.port);
                             silent_greeting = silent.ReadReply();
                             silent_rest = silent.ReadToEnd();
                             silent_closed = !silent.Send("NOOP\r\n") || silent.PeerClosed();
                           },
                           [&] {
                             BlockingClient client(s.port);
                             busy = client.ReadReply();
                             client.Send(kTransaction);
                             for (int i = 0; i < 5; ++i) busy += client.ReadReply();
                           }});
  EXPECT_TRUE(StartsWith(silent_greeting, "220 "));
  EXPECT_TRUE(StartsWith(silent_rest, "421 4.4.2 ")) << silent_rest;
  EXPECT_TRUE(silent_closed);
  EXPECT_NE(busy.find("250 2.0.0 Ok: queued"), std::string::npos) << busy;
  EXPECT_EQ(s.events.messages.size(), 1u);
}

TEST(SmtpServerTest, ReplyWaitsForTheAnswerAndHoldsPipelinedCommands) {
  Server s;
  ASSERT_TRUE(s.started);
  s.events.mode = RecordingEvents::Mode::kHold;
  std::mutex mutex;
  std::condition_variable received;
  bool mail_seen = false;
  s.events.on_mail = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    mail_seen = true;
    received.notify_all();
  };
  std::string replies;
  RunWithClients(*s.loop, {[&] {
    BlockingClient client(s.port);
    client.ReadReply();
    client.Send(std::string(kTransaction) + "NOOP\r\nQUIT\r\n");
    for (int i = 0; i < 4; ++i) client.ReadReply();  // EHLO .. 354
    {
      std::unique_lock<std::mutex> lock(mutex);
      received.wait_for(lock, std::chrono::seconds(20), [&] { return mail_seen; });
    }
    // Any reply sent before the answer would be read first.
    s.loop->Post([&] { s.events.held.at(0)(SmtpReply{451, "4.3.0 Try later"}); });
    replies = client.ReadToEnd();
  }});
  EXPECT_EQ(replies, "451 4.3.0 Try later\r\n250 2.0.0 Ok\r\n221 2.0.0 Bye from the Mailvane\r\n");
}

TEST(SmtpServerTest, ExceptionInMailReceivedGets451AndTheSessionGoesOn) {
  Server s;
  ASSERT_TRUE(s.started);
  s.events.mode = RecordingEvents::Mode::kThrow;
  std::string replies;
  RunWithClients(*s.loop, {[&] {
    BlockingClient client(s.port);
    client.ReadReply();
    client.Send(std::string(kTransaction) + "NOOP\r\n");
    for (int i = 0; i < 6; ++i) replies += client.ReadReply();
  }});
  EXPECT_NE(replies.find("354 End data with <CR><LF>.<CR><LF>\r\n"
                         "451 4.3.0 Error: local error in processing\r\n250 2.0.0 Ok\r\n"),
            std::string::npos)
      << replies;
  EXPECT_EQ(s.events.refused,
            std::vector<std::string>{"451 4.3.0 Error: local error in processing"});
}

TEST(SmtpServerTest, LateAnswerAfterCloseStopOrDestructionIsHarmless) {
  auto s = std::make_unique<Server>();
  ASSERT_TRUE(s->started);
  s->events.mode = RecordingEvents::Mode::kHold;
  RunWithClients(*s->loop, {[&] {
                              BlockingClient client(s->port);
                              client.ReadReply();
                              client.Send(kTransaction);
                              for (int i = 0; i < 4; ++i) client.ReadReply();
                              client.Close();  // gone before the answer
                            },
                            [&] {
                              BlockingClient client(s->port);
                              client.ReadReply();
                              client.Send(kTransaction);
                              for (int i = 0; i < 4; ++i) client.ReadReply();
                            }});
  // Both messages are awaiting answers; the first client has hung up. Answer it now.
  ASSERT_EQ(s->events.held.size(), 2u);
  s->events.held[0](SmtpReply{250, "2.0.0 Ok"});
  s->events.held[0](SmtpReply{250, "2.0.0 twice"});
  s->loop->Poll();
  auto late = s->events.held[1];
  s->server->Stop();
  late(SmtpReply{250, "2.0.0 after stop"});
  s->server.reset();
  late(SmtpReply{250, "2.0.0 after destruction"});
  s->loop->Poll();
  EXPECT_EQ(s->events.messages.size(), 2u);
}

TEST(SmtpServerTest, ClientThatReadsNothingIsDropped) {
  SmtpLimits limits;
  limits.max_pending_output = 16 * 1024;
  Server s(limits);
  ASSERT_TRUE(s.started);
  constexpr size_t kCommands = 700 * 1024;  // 4.2 MB in, 9.8 MB of replies: beyond socket buffers
  std::string noops;
  noops.reserve(kCommands * 6);
  for (size_t i = 0; i < kCommands; ++i) noops += "NOOP\r\n";
  size_t received = 0;
  RunWithClients(*s.loop, {[&] {
    BlockingClient client(s.port, "127.0.0.1", 4096);
    client.Send(noops);  // fails part-way once the server drops us
    received = client.ReadToEnd().size();
  }});
  EXPECT_LT(received, kCommands * std::string("250 2.0.0 Ok\r\n").size());
}

TEST(SmtpServerTest, StopClosesSessionsAndThePortCanBeBoundAgain) {
  Server s;
  ASSERT_TRUE(s.started);
  std::string rest;
  RunWithClients(*s.loop, {[&] {
    BlockingClient client(s.port);
    client.ReadReply();
    s.loop->Post([&] { s.server->Stop(); });
    rest = client.ReadToEnd();
  }});
  EXPECT_EQ(rest, "");
  // Started again on the same port (reuse_address), it serves again.
  s.server->SetPort(static_cast<int16_t>(s.port));
  ASSERT_FALSE(s.server->Start());
  EXPECT_EQ(s.server->BoundPort(), s.port);
  std::string greeting;
  RunWithClients(*s.loop, {[&] {
    BlockingClient client(s.port);
    greeting = client.ReadReply();
  }});
  EXPECT_TRUE(StartsWith(greeting, "220 "));
}

TEST(SmtpServerTest, PortInUseFailsToStart) {
  Server s;
  ASSERT_TRUE(s.started);
  auto loop = NewEventLoop();
  RecordingEvents events;
  auto other = NewSmtpServer(*loop, events);
  other->SetPort(static_cast<int16_t>(s.port));
  EXPECT_TRUE(other->Start());
}

}  // namespace
}  // namespace mailvane
