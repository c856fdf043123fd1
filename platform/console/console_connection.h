// One browser connection of the console, as the Beast examples' session: read a request within
// the header time-out, let ConsoleRequests decide, then send the answer, park the request until
// its route is ready or wait out a wrong secret's delay, and read the next one. The server's
// state is shared with its connections, so that a connection outliving Stop still finds it.
// Loop thread only.
#ifndef MAILVANE_PLATFORM_CONSOLE_CONSOLE_CONNECTION_H_
#define MAILVANE_PLATFORM_CONSOLE_CONSOLE_CONNECTION_H_

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <unordered_map>

#include "platform/console/console_requests.h"
#include "platform/console/console_server.h"

namespace mailvane {

class ConsoleConnection;

struct ConsoleCore {
  ConsoleCore(boost::asio::io_context& io, ConsoleOptions options)
      : io(io),
        options(std::move(options)),
        requests(this->options),
        acceptor(io),
        retry(io),
        sign_in_timer(io) {}

  void Log(const std::string& line) const {
    if (options.log) options.log(line);
  }
  // The live connections, each held for the length of the call.
  std::vector<std::shared_ptr<ConsoleConnection>> Live() const;
  // Makes room for one more connection: true when below the bound, or after closing the
  // connection that has waited longest for a request; false when none is waiting.
  bool MakeRoom();

  boost::asio::io_context& io;
  const ConsoleOptions options;
  ConsoleRequests requests;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer retry;
  boost::asio::steady_timer sign_in_timer;  // one wrong secret's delay at a time
  std::string origin;
  uint16_t port = 0;
  bool running = false;
  std::unordered_map<ConsoleConnection*, std::weak_ptr<ConsoleConnection>> connections;
};

class ConsoleConnection : public std::enable_shared_from_this<ConsoleConnection> {
 public:
  ConsoleConnection(std::shared_ptr<ConsoleCore> core, boost::asio::ip::tcp::socket socket);
  ~ConsoleConnection();

  void Begin();
  // Closes the socket and leaves the server's count of connections at once.
  void Close();
  // Waiting for a request (not reading one's answer out, parked or held by the sign-in delay),
  // and since when.
  bool idle() const { return idle_; }
  std::chrono::steady_clock::time_point idle_since() const { return idle_since_; }
  // A parked request whose route now reports ready is answered.
  void Recheck();

 private:
  void Read();
  void OnRead(boost::beast::error_code error);
  void Park(ConsoleRequest request, const ConsoleRoute* route);
  void Unpark();
  void AnswerAfterSignInDelay(ConsoleReply reply);
  void Send(ConsoleReply reply, bool keep_alive);

  std::shared_ptr<ConsoleCore> core_;
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  boost::asio::steady_timer park_timer_;
  bool keep_alive_ = true;
  bool idle_ = false;
  bool served_ = false;  // a request has come on this connection
  std::chrono::steady_clock::time_point idle_since_;
  const ConsoleRoute* parked_route_ = nullptr;  // set while a request is parked
  ConsoleRequest parked_request_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_CONSOLE_CONSOLE_CONNECTION_H_
