// The web console: an HTTP/1.1 server on the program's event loop, listening on a loopback address
// only, that serves a folder of static files and the routes its caller registers. A route needs a
// signed-in session (a secret kept in a file readable by its owner only) unless it is registered
// as open, and every path under /api/ does; a POST also needs a same-origin request carrying the
// session's CSRF token. Requests whose Host header
// is not the console's own loopback name are refused, so a rebound DNS name cannot reach it.
// All members, and every handler, run on the loop thread. Handlers may throw: the server logs
// the error (never a request body) and answers 500.
#ifndef MAILVANE_PLATFORM_CONSOLE_CONSOLE_SERVER_H_
#define MAILVANE_PLATFORM_CONSOLE_CONSOLE_SERVER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "platform/loop/event_loop.h"

namespace mailvane {

// How long a new connection may take to send its first whole request: a connection that sends
// nothing holds a place only briefly.
inline constexpr std::chrono::milliseconds kFirstRequestTimeout{3'000};

// Bounds on what one browser controls.
struct ConsoleLimits {
  size_t max_header_bytes = 8 * 1024;
  size_t max_body_bytes = 64 * 1024;
  std::chrono::milliseconds first_request_timeout = kFirstRequestTimeout;
  std::chrono::milliseconds header_timeout{10'000};  // to receive each later request
  std::chrono::milliseconds long_poll_timeout{25'000};
  // At the bound a new connection closes the one that has waited longest for a request; when
  // none waits (every one is being answered or parked), the new one is closed at once.
  size_t max_connections = 32;
  size_t max_sessions = 16;  // signing in beyond this ends the oldest session
  // A wrong secret is answered only after this delay, and one such answer waits at a time (other
  // wrong ones meanwhile get 429); the right secret is answered at once.
  std::chrono::milliseconds failed_login_delay{1'000};
};

struct ConsoleOptions {
  // "host:port" with an IPv4 loopback address, or "[::1]:port"; port 0 binds any free port.
  std::string address = "127.0.0.1:8026";
  // The sign-in secret's file: created on the first start (64 hex digits, mode 0600) and reused.
  std::string secret_path;
  // Folder of the page's files, served at "/" (index.html) and "/<name>". Empty: none.
  std::string static_folder;
  ConsoleLimits limits;
  // Receives one line per notable event (start, refused start, trapped handler error).
  std::function<void(const std::string&)> log;
};

struct ConsoleRequest {
  std::string method;                        // "GET", "POST"
  std::string path;                          // without the query
  std::map<std::string, std::string> query;  // decoded name=value pairs of the query
  std::string body;
};

struct ConsoleResponse {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
};

using ConsoleHandler = std::function<ConsoleResponse(const ConsoleRequest&)>;
// Whether a parked request may be answered now.
using ConsoleReady = std::function<bool(const ConsoleRequest&)>;

// The console's address: disabled for "off"; otherwise a loopback literal and a port.
struct ConsoleAddress {
  bool disabled = false;
  std::string host;  // "127.0.0.1" or "::1" (no brackets)
  uint16_t port = 0;
};
// Reads MAILVANE_CONSOLE's value (empty means the default "127.0.0.1:8026"). nullopt with
// *error set when the text is not an address and port, or the address is not loopback.
std::optional<ConsoleAddress> ParseConsoleAddress(const std::string& text, std::string* error);

class ConsoleServer {
 public:
  ConsoleServer() = default;
  ConsoleServer(const ConsoleServer&) = delete;
  ConsoleServer& operator=(const ConsoleServer&) = delete;
  virtual ~ConsoleServer() = default;

  // Registers a handler for method and exact path, answered only to a signed-in session.
  virtual void AddRoute(const std::string& method, const std::string& path,
                        ConsoleHandler handler) = 0;
  // A read-only GET route answered without a session (Host rule still applies), for what is
  // not secret; path must not be under "/api/".
  virtual void AddOpenRoute(const std::string& path, ConsoleHandler handler) = 0;
  // A long-poll route: while ready is false the request is parked; it is answered by handler
  // once ready turns true after a SignalChange, or when the long-poll time-out passes.
  virtual void AddWaitingRoute(const std::string& method, const std::string& path,
                               ConsoleReady ready, ConsoleHandler handler) = 0;
  // Looks again at every parked request.
  virtual void SignalChange() = 0;

  // Reads or creates the secret, then listens. Fails with a message in *error (never the
  // secret) when the address is not loopback, the secret cannot be had or the port not bound.
  virtual std::error_code Start(std::string* error) = 0;
  // Stops listening and closes every connection; parked requests are dropped.
  virtual void Stop() = 0;
  virtual uint16_t BoundPort() const = 0;
  // "http://127.0.0.1:<port>" (or "http://[::1]:<port>") after Start.
  virtual std::string Origin() const = 0;
};

std::unique_ptr<ConsoleServer> NewBeastConsoleServer(EventLoop& loop, ConsoleOptions options);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_CONSOLE_CONSOLE_SERVER_H_
