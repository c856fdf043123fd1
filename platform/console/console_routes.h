// The console's route table: method and exact path to a handler, with whether the route needs a
// signed-in session and, for a long-poll route, when it may be answered. Loop thread only.
#ifndef MAILVANE_PLATFORM_CONSOLE_CONSOLE_ROUTES_H_
#define MAILVANE_PLATFORM_CONSOLE_CONSOLE_ROUTES_H_

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "platform/console/console_server.h"
#include "platform/console/console_sessions.h"

namespace mailvane {

// What one answer carries beyond a ConsoleResponse.
struct ConsoleReply {
  ConsoleResponse response;
  std::string set_cookie;
  bool close = false;    // the connection ends after the answer
  bool delayed = false;  // a wrong secret's answer: sent after the failed sign-in delay
};

// One call of a route. headers and session are those of the request; a parked request answered
// later has neither (empty headers, no session).
struct RouteCall {
  const ConsoleRequest& request;
  const ConsoleHeaders& headers;
  const ConsoleSession* session;
};

struct ConsoleRoute {
  bool needs_sign_in = true;  // answered 401 without a session; a POST also passes the CSRF check
  ConsoleReady ready;         // set for a long-poll route: parked while it returns false
  std::function<ConsoleReply(const RouteCall&)> handle;
};

class ConsoleRouteTable {
 public:
  // A later route for the same method and path replaces the earlier one. A path ending in "/*"
  // answers every path under it that has no route of its own (the handler reads the rest of
  // request.path); the longest such prefix wins.
  void Add(const std::string& method, const std::string& path, ConsoleRoute route) {
    routes_[path][method] = std::move(route);
  }
  // nullptr when no route answers method at path.
  const ConsoleRoute* Find(const std::string& method, const std::string& path) const {
    const auto* at = At(path);
    if (at == nullptr) return nullptr;
    auto found = at->find(method);
    return found == at->end() ? nullptr : &found->second;
  }
  // Some route at path, whatever its method; nullptr when the path has none.
  const ConsoleRoute* AnyAt(const std::string& path) const {
    const auto* at = At(path);
    return at == nullptr || at->empty() ? nullptr : &at->begin()->second;
  }

 private:
  const std::map<std::string, ConsoleRoute>* At(const std::string& path) const {
    auto at = routes_.find(path);
    if (at != routes_.end()) return &at->second;
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1)) {
      at = routes_.find(path.substr(0, slash + 1) + "*");
      if (at != routes_.end()) return &at->second;
    }
    return nullptr;
  }

  std::map<std::string, std::map<std::string, ConsoleRoute>> routes_;  // path, method
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_CONSOLE_CONSOLE_ROUTES_H_
