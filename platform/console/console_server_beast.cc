// The console's listener: binds the loopback address, accepts connections up to the bound (making
// room by closing the longest-idle one) and hands each to a ConsoleConnection.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/beast/core.hpp>

#include "platform/base/ascii.h"
#include "platform/console/console_connection.h"
#include "platform/console/console_secret.h"
#include "platform/console/console_server.h"
#include "platform/loop/asio_loop.h"

namespace mailvane {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

class BeastConsoleServer final : public ConsoleServer {
 public:
  BeastConsoleServer(EventLoop& loop, ConsoleOptions options)
      : core_(std::make_shared<ConsoleCore>(AsioContext(loop), std::move(options))) {}
  ~BeastConsoleServer() override { Stop(); }

  void AddRoute(const std::string& method, const std::string& path,
                ConsoleHandler handler) override {
    core_->requests.AddRoute(method, path, true, nullptr, std::move(handler));
  }

  void AddOpenRoute(const std::string& path, ConsoleHandler handler) override {
    core_->requests.AddRoute("GET", path, false, nullptr, std::move(handler));
  }

  void AddWaitingRoute(const std::string& method, const std::string& path, ConsoleReady ready,
                       ConsoleHandler handler) override {
    core_->requests.AddRoute(method, path, true, std::move(ready), std::move(handler));
  }

  void SignalChange() override {
    for (auto& connection : core_->Live()) connection->Recheck();
  }

  std::error_code Start(std::string* error) override {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (core_->running) return {};
    std::optional<ConsoleAddress> address = ParseConsoleAddress(core_->options.address, error);
    if (!address) return std::make_error_code(std::errc::invalid_argument);
    if (address->disabled) {
      *error = "The console is turned off.";
      return std::make_error_code(std::errc::operation_not_permitted);
    }
    std::string secret;
    if (std::error_code failed = LoadOrCreateConsoleSecret(core_->options.secret_path, &secret)) {
      *error = "Console secret file " + core_->options.secret_path + ": " + failed.message();
      return failed;
    }
    beast::error_code bind_error;
    tcp::endpoint endpoint(asio::ip::make_address(address->host), address->port);
    core_->acceptor.open(endpoint.protocol(), bind_error);
    if (!bind_error) core_->acceptor.set_option(asio::socket_base::reuse_address(true), bind_error);
    if (endpoint.address().is_v6() && !bind_error) {
      core_->acceptor.set_option(asio::ip::v6_only(true), bind_error);
    }
    if (!bind_error) core_->acceptor.bind(endpoint, bind_error);
    if (!bind_error) core_->acceptor.listen(asio::socket_base::max_listen_connections, bind_error);
    if (bind_error) {
      beast::error_code ignore;
      core_->acceptor.close(ignore);
      *error = "Console cannot listen on " + core_->options.address + ": " + bind_error.message();
      return std::error_code(bind_error.value(), std::system_category());
    }
    core_->port = core_->acceptor.local_endpoint().port();
    std::string literal = endpoint.address().is_v6() ? "[" + address->host + "]" : address->host;
    std::string port = ":" + std::to_string(core_->port);
    core_->requests.Listening(std::move(secret), {AsciiLowered(literal) + port, "localhost" + port,
                                                  "127.0.0.1" + port, "[::1]" + port});
    core_->origin = "http://" + literal + port;
    core_->running = true;
    core_->Log("Console listening on " + core_->origin + "/");
    Accept(core_);
    return {};
  }

  void Stop() override {
    if (!core_->running) return;
    core_->running = false;
    beast::error_code ignored;
    core_->acceptor.close(ignored);
    core_->retry.cancel();
    core_->sign_in_timer.cancel();
    for (auto& connection : core_->Live()) connection->Close();
  }

  uint16_t BoundPort() const override { return core_->port; }
  std::string Origin() const override { return core_->origin; }

 private:
  static void Accept(std::shared_ptr<ConsoleCore> core) {
    core->acceptor.async_accept([core](beast::error_code error, tcp::socket socket) {
      if (!core->running) return;
      if (error) {
        // Out of descriptors, say: try again shortly rather than spin.
        core->retry.expires_after(std::chrono::milliseconds(100));
        core->retry.async_wait([core](beast::error_code wait_error) {
          if (!wait_error && core->running) Accept(core);
        });
        return;
      }
      if (core->MakeRoom()) {
        std::make_shared<ConsoleConnection>(core, std::move(socket))->Begin();
      } else {
        beast::error_code ignored;
        socket.close(ignored);
      }
      Accept(core);
    });
  }

  std::shared_ptr<ConsoleCore> core_;
};

}  // namespace

std::optional<ConsoleAddress> ParseConsoleAddress(const std::string& text, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::string value = text.empty() ? "127.0.0.1:8026" : text;
  ConsoleAddress address;
  if (value == "off") {
    address.disabled = true;
    return address;
  }
  std::string host;
  std::string port;
  if (!value.empty() && value.front() == '[') {
    size_t close = value.find("]:");
    if (close == std::string::npos) {
      *error = "Console address \"" + value + "\" is not [address]:port.";
      return std::nullopt;
    }
    host = value.substr(1, close - 1);
    port = value.substr(close + 2);
  } else {
    size_t colon = value.rfind(':');
    if (colon == std::string::npos || value.find(':') != colon) {
      *error = "Console address \"" + value + "\" is not address:port.";
      return std::nullopt;
    }
    host = value.substr(0, colon);
    port = value.substr(colon + 1);
  }
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      std::stoul(port) > 65535) {
    *error = "Console address \"" + value + "\" has no valid port.";
    return std::nullopt;
  }
  if (AsciiLowered(host) == "localhost") host = "127.0.0.1";
  beast::error_code parse_error;
  asio::ip::address ip = asio::ip::make_address(host, parse_error);
  if (parse_error) {
    *error = "Console address \"" + value + "\" is not an IP address and port.";
    return std::nullopt;
  }
  if (!ip.is_loopback()) {
    *error = "Console address \"" + value +
             "\" is not a loopback address; the console listens "
             "on loopback only.";
    return std::nullopt;
  }
  address.host = ip.to_string();
  address.port = static_cast<uint16_t>(std::stoul(port));
  return address;
}

std::unique_ptr<ConsoleServer> NewBeastConsoleServer(EventLoop& loop, ConsoleOptions options) {
  return std::make_unique<BeastConsoleServer>(loop, std::move(options));
}

}  // namespace mailvane
