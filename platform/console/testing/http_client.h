// A blocking HTTP/1.1 client for tests of the console: one request per connection, on loopback.
// Call it from a thread other than the loop thread that serves the console.
#ifndef MAILVANE_PLATFORM_CONSOLE_TESTING_HTTP_CLIENT_H_
#define MAILVANE_PLATFORM_CONSOLE_TESTING_HTTP_CLIENT_H_

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdint>
#include <map>
#include <string>

#include "platform/base/ascii.h"

namespace mailvane::testing {

struct HttpResult {
  int status = 0;                              // 0 when the connection ended without an answer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& name) const {
    auto found = headers.find(name);
    return found == headers.end() ? "" : found->second;
  }
};

// Sends method target with the headers (a "Host" of 127.0.0.1:port unless given; an empty value
// leaves the header out) and the body; returns what came back.
inline HttpResult Fetch(uint16_t port, const std::string& method, const std::string& target,
                        std::map<std::string, std::string> headers = {},
                        const std::string& body = "", const std::string& host = "127.0.0.1") {
  namespace beast = boost::beast;
  namespace http = beast::http;
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::make_address(host), port});
  http::request<http::string_body> request(http::string_to_verb(method), target, 11);
  if (!headers.count("Host")) headers["Host"] = "127.0.0.1:" + std::to_string(port);
  for (const auto& [name, value] : headers) {
    if (!value.empty()) request.set(name, value);
  }
  request.body() = body;
  request.prepare_payload();
  request.keep_alive(false);
  HttpResult result;
  beast::error_code error;
  http::write(socket, request, error);
  if (error) return result;
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(16 * 1024 * 1024);
  http::read(socket, buffer, parser, error);
  if (error) return result;
  const auto& response = parser.get();
  result.status = response.result_int();
  for (const auto& field : response) {
    std::string name(field.name_string());
    name = AsciiLowered(name);
    result.headers[name] = std::string(field.value());
  }
  result.body = response.body();
  return result;
}

}  // namespace mailvane::testing

#endif  // MAILVANE_PLATFORM_CONSOLE_TESTING_HTTP_CLIENT_H_
