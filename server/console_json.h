// The JSON answers of the server's console routes, shared by its pages.
#ifndef MAILVANE_SERVER_CONSOLE_JSON_H_
#define MAILVANE_SERVER_CONSOLE_JSON_H_

#include <boost/json.hpp>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/console/console_server.h"

namespace mailvane {

inline ConsoleResponse JsonAnswer(const boost::json::value& value, int status = 200) {
  ConsoleResponse response;
  response.status = status;
  response.body = boost::json::serialize(value);
  return response;
}

// An answer of status whose body is {"error": text}, which the page shows as it stands.
inline ConsoleResponse ErrorAnswer(int status, const std::string& text) {
  return JsonAnswer(boost::json::object{{"error", text}}, status);
}

// A query number; nullopt when absent or not a whole number.
inline std::optional<uint64_t> QueryNumber(const ConsoleRequest& request, const std::string& name) {
  auto found = request.query.find(name);
  if (found == request.query.end() || found->second.empty() || found->second.size() > 19 ||
      found->second.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(found->second);
}

}  // namespace mailvane

#endif  // MAILVANE_SERVER_CONSOLE_JSON_H_
