#include "platform/console/console_connection.h"

namespace mailvane {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;

std::vector<std::shared_ptr<ConsoleConnection>> ConsoleCore::Live() const {
  std::vector<std::shared_ptr<ConsoleConnection>> live;
  for (const auto& [raw, weak] : connections) {
    if (auto connection = weak.lock()) live.push_back(std::move(connection));
  }
  return live;
}

bool ConsoleCore::MakeRoom() {
  if (connections.size() < options.limits.max_connections) return true;
  std::shared_ptr<ConsoleConnection> oldest;
  for (auto& connection : Live()) {
    if (connection->idle() && (!oldest || connection->idle_since() < oldest->idle_since())) {
      oldest = connection;
    }
  }
  if (!oldest) return false;
  oldest->Close();
  return true;
}

ConsoleConnection::ConsoleConnection(std::shared_ptr<ConsoleCore> core, tcp::socket socket)
    : core_(std::move(core)), stream_(std::move(socket)), park_timer_(core_->io) {}

ConsoleConnection::~ConsoleConnection() { core_->connections.erase(this); }

void ConsoleConnection::Begin() {
  core_->connections[this] = weak_from_this();
  Read();
}

void ConsoleConnection::Close() {
  core_->connections.erase(this);
  idle_ = false;
  parked_route_ = nullptr;
  park_timer_.cancel();
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream_.socket().close(ignored);
}

void ConsoleConnection::Recheck() {
  if (parked_route_ == nullptr) return;
  bool ready = false;
  try {
    ready = parked_route_->ready(parked_request_);
  } catch (...) {
    ready = true;  // the handler's own trap reports the fault
  }
  if (ready) Unpark();
}

void ConsoleConnection::Read() {
  parser_.emplace();
  parser_->header_limit(static_cast<uint32_t>(core_->options.limits.max_header_bytes));
  parser_->body_limit(core_->options.limits.max_body_bytes);
  stream_.expires_after(served_ ? core_->options.limits.header_timeout
                                : core_->options.limits.first_request_timeout);
  idle_ = true;
  idle_since_ = std::chrono::steady_clock::now();
  http::async_read(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code error, size_t) { self->OnRead(error); });
}

void ConsoleConnection::OnRead(beast::error_code error) {
  idle_ = false;
  served_ = true;
  if (!core_->running) return Close();
  if (error == http::error::body_limit || error == http::error::header_limit) {
    ConsoleReply reply = error == http::error::body_limit
                             ? ErrorReply(413, "The request is too large.")
                             : ErrorReply(431, "The request header is too large.");
    reply.close = true;
    return Send(std::move(reply), false);
  }
  if (error) return Close();  // end of stream, time-out, malformed request
  const ConsoleMessage& message = parser_->get();
  keep_alive_ = message.keep_alive();
  ConsoleOutcome outcome;
  try {
    outcome = core_->requests.Handle(message);
  } catch (const std::exception& fault) {
    core_->Log(std::string("Console error: ") + fault.what());
    outcome.reply = ErrorReply(500, "Internal error.");
  } catch (...) {
    core_->Log("Console error of unknown kind");
    outcome.reply = ErrorReply(500, "Internal error.");
  }
  if (outcome.park != nullptr) return Park(std::move(outcome.request), outcome.park);
  if (outcome.reply.delayed) return AnswerAfterSignInDelay(std::move(outcome.reply));
  Send(std::move(outcome.reply), keep_alive_);
}

void ConsoleConnection::AnswerAfterSignInDelay(ConsoleReply reply) {
  core_->sign_in_timer.expires_after(core_->options.limits.failed_login_delay);
  core_->sign_in_timer.async_wait(
      [self = shared_from_this(), reply = std::move(reply)](beast::error_code) mutable {
        self->core_->requests.sessions().SignInDelayOver();
        if (!self->core_->running) return self->Close();
        self->Send(std::move(reply), self->keep_alive_);
      });
}

void ConsoleConnection::Park(ConsoleRequest request, const ConsoleRoute* route) {
  parked_route_ = route;
  parked_request_ = std::move(request);
  stream_.expires_never();
  park_timer_.expires_after(core_->options.limits.long_poll_timeout);
  park_timer_.async_wait([self = shared_from_this()](beast::error_code error) {
    if (error || self->parked_route_ == nullptr) return;
    self->Unpark();
  });
}

void ConsoleConnection::Unpark() {
  const ConsoleRoute* route = parked_route_;
  parked_route_ = nullptr;
  park_timer_.cancel();
  ConsoleHeaders none;
  Send(route->handle(RouteCall{parked_request_, none, nullptr}), keep_alive_);
}

void ConsoleConnection::Send(ConsoleReply reply, bool keep_alive) {
  auto response = std::make_shared<http::response<http::string_body>>(
      static_cast<http::status>(reply.response.status), 11);
  response->set(http::field::server, "Mailvane");
  response->set(http::field::content_type, reply.response.content_type);
  response->set(http::field::cache_control, "no-store");
  response->set("X-Frame-Options", "DENY");
  response->set("X-Content-Type-Options", "nosniff");
  response->set("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
  response->set("Referrer-Policy", "no-referrer");
  if (!reply.set_cookie.empty()) response->set(http::field::set_cookie, reply.set_cookie);
  response->keep_alive(keep_alive && !reply.close);
  response->body() = std::move(reply.response.body);
  response->prepare_payload();
  stream_.expires_after(core_->options.limits.header_timeout);
  http::async_write(stream_, *response,
                    [self = shared_from_this(), response](beast::error_code error, size_t) {
                      if (error || !response->keep_alive() || !self->core_->running) {
                        return self->Close();
                      }
                      self->Read();
                    });
}

}  // namespace mailvane
