// SmtpServer on Boost.Asio: one acceptor and one Connection per client, all on the loop's
// io_context. A Connection carries the socket, its timer and its SmtpSession; it is owned by the
// server's table while open and by its pending handlers after that, so late completions (and a
// late MailReceived answer) find either a live connection or nothing.
#include <unistd.h>

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/loop/asio_loop.h"
#include "platform/smtp/smtp_server.h"
#include "platform/smtp/smtp_session.h"

namespace mailvane {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

constexpr std::string_view kTooManyConnections = "421 4.3.2 Too many connections\r\n";
constexpr std::chrono::milliseconds kAcceptRetry{100};

std::string HostName() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') return "localhost";
  return std::string(name.data());
}

// The peer's address as Connecting shows it, in dotted decimal (the listener is IPv4 only).
std::string PeerAddress(const tcp::socket& socket) {
  boost::system::error_code error;
  tcp::endpoint peer = socket.remote_endpoint(error);
  if (error) return "";
  return peer.address().to_string();
}

// Best effort for a last reply on a socket about to be closed: never waits for the client.
void WriteNowAndClose(tcp::socket& socket, std::string_view reply) {
  boost::system::error_code error;
  socket.non_blocking(true, error);
  if (!error && !reply.empty()) socket.write_some(asio::buffer(reply.data(), reply.size()), error);
  socket.shutdown(tcp::socket::shutdown_both, error);
  socket.close(error);
}

class AsioSmtpServer;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  enum class Admission { kAdmit, kRefuse, kFailure };

  Connection(AsioSmtpServer* server, tcp::socket socket, SmtpClient client,
             SmtpSessionOptions options)
      : server_(server),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        client_(std::move(client)),
        limits_(options.limits),
        session_(std::move(options)) {}

  const SmtpClient& client() const { return client_; }

  void Begin(Admission admission) {
    switch (admission) {
      case Admission::kAdmit:
        session_.Greet();
        break;
      case Admission::kRefuse:
        session_.Refuse(554, "5.7.1 Access denied");
        break;
      case Admission::kFailure:
        session_.Refuse(421, "4.3.0 Error: local error in processing");
        break;
    }
    Pump();
  }

  // Closes at once: no further event is raised for this connection.
  void Close();

 private:
  void Pump();
  void RaiseRefusals(std::vector<std::string> refusals);
  void Deliver(SmtpMessage message);
  void OnAnswer(SmtpReply reply);
  void StartRead();
  void StartWrite();
  void ArmTimer();
  void OnTimeout();

  AsioSmtpServer* server_;  // null once closed
  tcp::socket socket_;
  asio::steady_timer timer_;
  SmtpClient client_;
  SmtpLimits limits_;
  SmtpSession session_;
  std::array<char, 16 * 1024> read_buffer_{};
  std::string writing_;  // the buffer of the write under way
  std::string queued_;   // replies waiting for it
  bool reading_ = false;
  bool write_active_ = false;
  bool closed_ = false;
  bool in_event_ = false;
  std::optional<SmtpReply> immediate_answer_;  // done called inside MailReceived
  uint64_t timer_generation_ = 0;
};

class AsioSmtpServer final : public SmtpServer {
 public:
  AsioSmtpServer(EventLoop& loop, SmtpEvents& events, SmtpLimits limits)
      : context_(AsioContext(loop)),
        events_(events),
        limits_(limits),
        host_name_(HostName()),
        retry_timer_(context_),
        alive_(std::make_shared<char>()) {}

  ~AsioSmtpServer() override {
    Stop();
    alive_.reset();
  }

  void SetPort(int16_t port) override { port_ = static_cast<uint16_t>(port); }
  void SetClosingText(const std::string& text) override { closing_text_ = text; }
  void SetGreetingText(const std::string& text) override { greeting_text_ = text; }

  std::error_code Start() override {
    if (acceptor_) return std::make_error_code(std::errc::already_connected);
    acceptor_.emplace(context_);
    boost::system::error_code error;
    tcp::endpoint endpoint(asio::ip::address_v4::any(), port_);
    acceptor_->open(tcp::v4(), error);
    if (!error) acceptor_->set_option(tcp::acceptor::reuse_address(true), error);
    if (!error) acceptor_->bind(endpoint, error);
    if (!error) acceptor_->listen(asio::socket_base::max_listen_connections, error);
    if (!error) {
      tcp::endpoint local = acceptor_->local_endpoint(error);
      bound_port_ = local.port();
    }
    if (error) {
      acceptor_.reset();
      return error;
    }
    StartAccept();
    return {};
  }

  void Stop() override {
    if (acceptor_) {
      boost::system::error_code ignored;
      acceptor_->close(ignored);
      acceptor_.reset();
    }
    retry_timer_.cancel();
    std::map<uint64_t, std::shared_ptr<Connection>> sessions;
    sessions.swap(sessions_);
    for (auto& [id, connection] : sessions) connection->Close();
  }

  uint16_t BoundPort() const override { return bound_port_; }

  SmtpEvents& events() { return events_; }
  void Remove(uint64_t session_id) { sessions_.erase(session_id); }

 private:
  void StartAccept() {
    acceptor_->async_accept([this, alive = std::weak_ptr<char>(alive_)](
                                const boost::system::error_code& error, tcp::socket socket) {
      if (alive.expired() || error == asio::error::operation_aborted || !acceptor_) return;
      if (!error) {
        OnAccept(std::move(socket));
        if (acceptor_) StartAccept();
        return;
      }
      // Out of descriptors and the like: try again shortly instead of spinning.
      retry_timer_.expires_after(kAcceptRetry);
      retry_timer_.async_wait([this, alive](const boost::system::error_code& wait_error) {
        if (alive.expired() || wait_error || !acceptor_) return;
        StartAccept();
      });
    });
  }

  void OnAccept(tcp::socket socket) {
    if (sessions_.size() >= limits_.max_connections) {
      WriteNowAndClose(socket, kTooManyConnections);
      return;
    }
    SmtpClient client;
    client.ip_address = PeerAddress(socket);
    client.session_id = next_session_id_++;
    SmtpSessionOptions options;
    options.host_name = host_name_;
    options.greeting_text = greeting_text_;
    options.closing_text = closing_text_;
    options.limits = limits_;
    auto connection =
        std::make_shared<Connection>(this, std::move(socket), client, std::move(options));
    sessions_[client.session_id] = connection;
    Connection::Admission admission = Connection::Admission::kFailure;
    try {
      admission = events_.Connecting(connection->client()) ? Connection::Admission::kAdmit
                                                           : Connection::Admission::kRefuse;
    } catch (...) {
      admission = Connection::Admission::kFailure;
    }
    connection->Begin(admission);
  }

  asio::io_context& context_;
  SmtpEvents& events_;
  SmtpLimits limits_;
  std::string host_name_;
  std::string greeting_text_;
  std::string closing_text_;
  uint16_t port_ = 25;
  uint16_t bound_port_ = 0;
  std::optional<tcp::acceptor> acceptor_;
  asio::steady_timer retry_timer_;
  std::map<uint64_t, std::shared_ptr<Connection>> sessions_;
  uint64_t next_session_id_ = 1;
  std::shared_ptr<char> alive_;  // handlers that outlive the server see it expired
};

void Connection::Close() {
  if (closed_) return;
  closed_ = true;
  ++timer_generation_;
  timer_.cancel();
  boost::system::error_code ignored;
  socket_.close(ignored);
  AsioSmtpServer* server = server_;
  server_ = nullptr;
  // May drop the table's reference; the caller holds one.
  if (server != nullptr) server->Remove(client_.session_id);
}

void Connection::RaiseRefusals(std::vector<std::string> refusals) {
  if (server_ == nullptr) return;
  for (const std::string& reply : refusals) {
    try {
      server_->events().Refused(client_, reply);
    } catch (...) {
      // The refusal stands whether or not it was recorded.
    }
  }
}

void Connection::Pump() {
  auto self = shared_from_this();
  // Refusals come before a message taken in the same input: they happened first.
  RaiseRefusals(session_.TakeRefusals());
  while (!closed_ && session_.message_ready()) Deliver(session_.TakeMessage());
  if (closed_) return;
  queued_ += session_.TakeOutput();
  if (session_.overflow() || queued_.size() + writing_.size() > limits_.max_pending_output) {
    Close();  // a client that does not read its replies
    return;
  }
  StartWrite();
  if (session_.closed()) {
    if (!write_active_) Close();
    return;  // closed when the last reply is written
  }
  ArmTimer();
  if (!session_.awaiting_answer()) StartRead();
}

void Connection::Deliver(SmtpMessage message) {
  auto answered = std::make_shared<bool>(false);
  std::weak_ptr<Connection> weak = weak_from_this();
  std::function<void(SmtpReply)> done = [weak, answered](SmtpReply reply) {
    if (*answered) return;
    *answered = true;
    if (auto self = weak.lock()) self->OnAnswer(std::move(reply));
  };
  in_event_ = true;
  bool threw = false;
  try {
    server_->events().MailReceived(client_, message, std::move(done));
  } catch (...) {
    if (!*answered) {
      *answered = true;
      threw = true;
      immediate_answer_ = SmtpReply{451, "4.3.0 Error: local error in processing"};
    }
  }
  in_event_ = false;
  if (immediate_answer_ && !closed_) {
    SmtpReply reply = std::move(*immediate_answer_);
    immediate_answer_.reset();
    session_.Answer(reply);
    // The 451 for a MailReceived that threw is the listener's own refusal.
    if (threw) RaiseRefusals({std::to_string(reply.code) + " " + reply.text});
  }
}

void Connection::OnAnswer(SmtpReply reply) {
  if (closed_) return;
  if (in_event_) {
    immediate_answer_ = std::move(reply);
    return;
  }
  session_.Answer(reply);
  Pump();
}

void Connection::StartRead() {
  if (reading_ || closed_) return;
  reading_ = true;
  socket_.async_read_some(
      asio::buffer(read_buffer_),
      [self = shared_from_this()](const boost::system::error_code& error, size_t size) {
        self->reading_ = false;
        if (self->closed_) return;
        if (error) {
          self->Close();
          return;
        }
        self->session_.Feed(std::string_view(self->read_buffer_.data(), size));
        self->Pump();
      });
}

void Connection::StartWrite() {
  if (write_active_ || queued_.empty() || closed_) return;
  writing_.swap(queued_);
  queued_.clear();
  write_active_ = true;
  asio::async_write(socket_, asio::buffer(writing_),
                    [self = shared_from_this()](const boost::system::error_code& error, size_t) {
                      self->write_active_ = false;
                      self->writing_.clear();
                      if (self->closed_) return;
                      if (error) {
                        self->Close();
                        return;
                      }
                      if (!self->queued_.empty()) {
                        self->StartWrite();
                      } else if (self->session_.closed()) {
                        boost::system::error_code ignored;
                        self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                        self->Close();
                      }
                    });
}

void Connection::ArmTimer() {
  uint64_t generation = ++timer_generation_;
  timer_.cancel();
  // While MailReceived is answering, the wait is the server's, not the client's.
  if (session_.awaiting_answer()) return;
  timer_.expires_after(session_.in_data() ? limits_.data_timeout : limits_.command_timeout);
  timer_.async_wait(
      [self = shared_from_this(), generation](const boost::system::error_code& error) {
        if (error || self->closed_ || generation != self->timer_generation_) return;
        self->OnTimeout();
      });
}

void Connection::OnTimeout() {
  auto self = shared_from_this();
  session_.OnTimeout();
  RaiseRefusals(session_.TakeRefusals());
  queued_ += session_.TakeOutput();
  // A client that let the time run out gets one try at the 421, never a wait.
  if (!write_active_) WriteNowAndClose(socket_, queued_);
  Close();
}

}  // namespace

std::unique_ptr<SmtpServer> NewSmtpServer(EventLoop& loop, SmtpEvents& events, SmtpLimits limits) {
  return std::make_unique<AsioSmtpServer>(loop, events, limits);
}

}  // namespace mailvane
