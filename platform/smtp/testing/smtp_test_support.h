// Test support for the SMTP server over real loopback sockets: recording events, a blocking client
// for test threads, and a runner that serves the loop on the test's thread while client threads
// talk to the server. Every wait is bounded by socket time-outs or a guard timer.
#ifndef MAILVANE_PLATFORM_SMTP_TESTING_SMTP_TEST_SUPPORT_H_
#define MAILVANE_PLATFORM_SMTP_TESTING_SMTP_TEST_SUPPORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/loop/event_loop.h"
#include "platform/smtp/smtp_server.h"

namespace mailvane {
namespace testing_support {

// Records what the server raised; all members are used on the loop thread only (the test reads
// them after the loop has stopped).
class RecordingEvents : public SmtpEvents {
 public:
  enum class Mode { kAccept, kHold, kThrow };

  bool Connecting(const SmtpClient& client) override {
    connecting.push_back(client.ip_address);
    return admit;
  }
  void MailReceived(const SmtpClient& client, const SmtpMessage& message,
                    std::function<void(SmtpReply)> done) override {
    messages.push_back(message);
    senders.push_back(client.ip_address);
    if (on_mail) on_mail();
    switch (mode) {
      case Mode::kAccept:
        done(SmtpReply{250, "2.0.0 Ok: queued"});
        break;
      case Mode::kHold:
        held.push_back(std::move(done));
        break;
      case Mode::kThrow:
        throw std::runtime_error("spool folder unreachable");
    }
  }

  void Refused(const SmtpClient&, const std::string& reply) override { refused.push_back(reply); }

  bool admit = true;
  Mode mode = Mode::kAccept;
  std::function<void()> on_mail;
  std::vector<std::string> connecting;
  std::vector<std::string> senders;
  std::vector<SmtpMessage> messages;
  std::vector<std::string> refused;
  std::vector<std::function<void(SmtpReply)>> held;
};

// Runs the loop on this thread while each client function runs on a thread of its own; returns
// when all clients have finished (or after the guard interval, leaving the clients' own socket
// time-outs to end them).
inline void RunWithClients(EventLoop& loop, std::vector<std::function<void()>> clients) {
  std::atomic<size_t> finished{0};
  size_t total = clients.size();
  std::vector<std::thread> threads;
  for (auto& client : clients) {
    threads.emplace_back([&loop, &finished, total, client = std::move(client)] {
      client();
      if (++finished == total) loop.Post([&loop] { loop.Stop(); });
    });
  }
  auto guard = loop.NewTimer();
  guard->SetInterval(60000);
  guard->OnTick([&loop] { loop.Stop(); });
  guard->SetEnabled(true);
  loop.Run();
  for (std::thread& thread : threads) thread.join();
  loop.Poll();  // what the clients' last bytes caused
}

// A blocking client for test threads. Reads and writes give up after 20 s.
class BlockingClient {
 public:
  explicit BlockingClient(uint16_t port, const char* address = "127.0.0.1",
                          int receive_buffer = 0) {
    bool v6 = std::string(address).find(':') != std::string::npos;
    fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    timeval timeout{20, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (receive_buffer > 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    int result = -1;
    if (v6) {
      sockaddr_in6 peer{};
      peer.sin6_family = AF_INET6;
      peer.sin6_port = htons(port);
      inet_pton(AF_INET6, address, &peer.sin6_addr);
      result = connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    } else {
      sockaddr_in peer{};
      peer.sin_family = AF_INET;
      peer.sin_port = htons(port);
      inet_pton(AF_INET, address, &peer.sin_addr);
      result = connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    }
    if (result != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~BlockingClient() { Close(); }
  BlockingClient(const BlockingClient&) = delete;
  BlockingClient& operator=(const BlockingClient&) = delete;

  bool connected() const { return fd_ >= 0; }

  // False when the peer is gone.
  bool Send(const std::string& bytes) {
    size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
      ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return fd_ >= 0;
  }

  // One whole reply (all its lines), or what came before EOF, a reset or the time-out.
  std::string ReadReply() {
    std::string reply;
    for (;;) {
      size_t end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end + 2);
        buffer_.erase(0, end + 2);
        reply += line;
        if (line.size() < 4 || line[3] != '-') return reply;
        continue;
      }
      if (!Fill()) return reply + buffer_;
    }
  }

  // Everything until the peer closes (or resets, or the time-out).
  std::string ReadToEnd() {
    while (Fill()) {
    }
    std::string rest = std::move(buffer_);
    buffer_.clear();
    return rest;
  }

  // True when the peer closed the connection (EOF or reset) with nothing more to read.
  bool PeerClosed() {
    std::string rest = ReadToEnd();
    return rest.empty() && closed_by_peer_;
  }

  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  bool Fill() {
    if (fd_ < 0) return false;
    char chunk[16384];
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      closed_by_peer_ = n == 0 || errno == ECONNRESET;
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string buffer_;
  bool closed_by_peer_ = false;
};

// Runs a shell command, returning its exit status and putting stdout and stderr into *output.
inline int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output->append(chunk, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testing_support
}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMTP_TESTING_SMTP_TEST_SUPPORT_H_
