// Request handling of the console, apart from the transport: the Host rule, the route table with
// its sign-in and CSRF checks, sign-in and sign-out, and the page's static files. Handle decides
// what one request gets; the connection sends it, parks it or waits out the sign-in delay.
// Loop thread only.
#ifndef MAILVANE_PLATFORM_CONSOLE_CONSOLE_REQUESTS_H_
#define MAILVANE_PLATFORM_CONSOLE_CONSOLE_REQUESTS_H_

#include <boost/beast/http.hpp>
#include <string>
#include <vector>

#include "platform/console/console_routes.h"
#include "platform/console/console_server.h"
#include "platform/console/console_sessions.h"

namespace mailvane {

using ConsoleMessage = boost::beast::http::request<boost::beast::http::string_body>;

// What Handle decided. With park set, the request waits on that route; with reply.delayed, the
// answer goes out after the failed sign-in delay, and then SignInDelayOver() is due.
struct ConsoleOutcome {
  ConsoleReply reply;
  const ConsoleRoute* park = nullptr;
  ConsoleRequest request;  // the request to park
};

// An answer of status whose body is {"error": text}.
ConsoleReply ErrorReply(int status, const std::string& text);

class ConsoleRequests {
 public:
  // options must outlive this object. Registers the routes /login, /logout and /api/session.
  explicit ConsoleRequests(const ConsoleOptions& options);
  ConsoleRequests(const ConsoleRequests&) = delete;
  ConsoleRequests& operator=(const ConsoleRequests&) = delete;

  // A caller's route: its handler's faults are logged and answered 500.
  void AddRoute(const std::string& method, const std::string& path, bool needs_sign_in,
                ConsoleReady ready, ConsoleHandler handler);
  // The secret and the Host values (lower case, with port) that the console answers to.
  void Listening(std::string secret, std::vector<std::string> hosts);

  // May throw; the caller traps and answers 500.
  ConsoleOutcome Handle(const ConsoleMessage& message);
  ConsoleSessions& sessions() { return sessions_; }

 private:
  ConsoleReply SignIn(const RouteCall& call);
  ConsoleReply StaticFile(const ConsoleRequest& request) const;
  bool HostAllowed(std::string_view host) const;
  void Log(const std::string& line) const;

  const ConsoleOptions& options_;
  ConsoleRouteTable routes_;
  ConsoleSessions sessions_;
  std::vector<std::string> hosts_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_CONSOLE_CONSOLE_REQUESTS_H_
