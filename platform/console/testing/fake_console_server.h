// A ConsoleServer without a network, for tests of the code that registers routes: Call runs a
// route's handler as the real server would after its checks; a waiting route answers only once
// it is ready (Waiting tells whether it would still be parked). Counts SignalChange calls.
#ifndef MAILVANE_PLATFORM_CONSOLE_TESTING_FAKE_CONSOLE_SERVER_H_
#define MAILVANE_PLATFORM_CONSOLE_TESTING_FAKE_CONSOLE_SERVER_H_

#include <map>
#include <set>
#include <string>
#include <utility>

#include "platform/console/console_server.h"

namespace mailvane {

class FakeConsoleServer : public ConsoleServer {
 public:
  void AddRoute(const std::string& method, const std::string& path,
                ConsoleHandler handler) override {
    routes_[{method, path}] = {nullptr, std::move(handler)};
  }
  void AddOpenRoute(const std::string& path, ConsoleHandler handler) override {
    routes_[{"GET", path}] = {nullptr, std::move(handler)};
    open_.insert(path);
  }
  void AddWaitingRoute(const std::string& method, const std::string& path, ConsoleReady ready,
                       ConsoleHandler handler) override {
    routes_[{method, path}] = {std::move(ready), std::move(handler)};
  }
  void SignalChange() override { ++signals_; }
  std::error_code Start(std::string*) override { return {}; }
  void Stop() override {}
  uint16_t BoundPort() const override { return 0; }
  std::string Origin() const override { return "http://127.0.0.1:0"; }

  // Status 404 when no such route; for a waiting route that is not ready, the answer it would
  // give at its time-out.
  ConsoleResponse Call(const std::string& method, const std::string& path,
                       std::map<std::string, std::string> query = {}, std::string body = "") {
    auto found = routes_.find({method, path});
    // A prefix route ("/api/x/*") answers what has no route of its own, as in the real table.
    for (size_t slash = path.rfind('/');
         found == routes_.end() && slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1)) {
      found = routes_.find({method, path.substr(0, slash + 1) + "*"});
    }
    if (found == routes_.end()) return ConsoleResponse{404, "text/plain", ""};
    ConsoleRequest request{method, path, std::move(query), std::move(body)};
    return found->second.second(request);
  }
  // Whether a request to a waiting route would be parked now.
  bool Waiting(const std::string& method, const std::string& path,
               std::map<std::string, std::string> query = {}) {
    auto found = routes_.find({method, path});
    if (found == routes_.end() || !found->second.first) return false;
    return !found->second.first(ConsoleRequest{method, path, std::move(query), ""});
  }
  bool HasRoute(const std::string& method, const std::string& path) const {
    return routes_.count({method, path}) != 0;
  }
  bool IsOpen(const std::string& path) const { return open_.count(path) != 0; }
  int signals() const { return signals_; }

 private:
  std::map<std::pair<std::string, std::string>, std::pair<ConsoleReady, ConsoleHandler>> routes_;
  std::set<std::string> open_;  // paths of open routes
  int signals_ = 0;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_CONSOLE_TESTING_FAKE_CONSOLE_SERVER_H_
