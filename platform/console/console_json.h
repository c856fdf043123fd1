// Reading the JSON bodies of console requests, for the console's own routes and the server's pages
// alike.
#ifndef MAILVANE_PLATFORM_CONSOLE_CONSOLE_JSON_H_
#define MAILVANE_PLATFORM_CONSOLE_CONSOLE_JSON_H_

#include <boost/json.hpp>
#include <optional>
#include <string_view>
#include <utility>

namespace mailvane {

// The body as a JSON object; nothing when it is not JSON or not an object.
inline std::optional<boost::json::object> JsonObjectOf(std::string_view body) {
  boost::system::error_code error;
  boost::json::value parsed =
      boost::json::parse(boost::json::string_view(body.data(), body.size()), error);
  if (error || !parsed.is_object()) return std::nullopt;
  return std::move(parsed.as_object());
}

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_CONSOLE_CONSOLE_JSON_H_
