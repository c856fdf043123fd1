#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/base/ascii.h"
#include "platform/console/console_server.h"
#include "platform/files/file_system.h"
#include "platform/loop/asio_loop.h"

namespace mailvane {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr char kSessionCookie[] = "mailvane_session";
constexpr size_t kSecretBytes = 32;
constexpr size_t kMaxStaticFileBytes = 4 * 1024 * 1024;

std::string Hex(const unsigned char* data, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0xF]);
  }
  return out;
}

// 32 bytes from the kernel's random source, in hex; empty when it cannot be had.
std::string RandomToken() {
  unsigned char bytes[kSecretBytes];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return "";
    }
    filled += static_cast<size_t>(got);
  }
  return Hex(bytes, sizeof bytes);
}

bool IsSecretText(const std::string& text) {
  return text.size() == kSecretBytes * 2 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

// Compares in time that depends only on the lengths.
bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && i + 2 < text.size() &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

void SplitTarget(std::string_view target, ConsoleRequest* request) {
  size_t mark = target.find('?');
  request->path = PercentDecode(target.substr(0, mark));
  if (mark == std::string_view::npos) return;
  std::string_view query = target.substr(mark + 1);
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    size_t eq = pair.find('=');
    std::string name = PercentDecode(pair.substr(0, eq));
    std::string value = eq == std::string_view::npos ? "" : PercentDecode(pair.substr(eq + 1));
    if (!name.empty()) request->query[name] = value;
    if (amp == std::string_view::npos) break;
    query = query.substr(amp + 1);
  }
}

std::string CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    size_t semi = header.find(';');
    std::string_view item = header.substr(0, semi);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    size_t eq = item.find('=');
    if (eq != std::string_view::npos && item.substr(0, eq) == name) {
      return std::string(item.substr(eq + 1));
    }
    if (semi == std::string_view::npos) break;
    header = header.substr(semi + 1);
  }
  return "";
}

std::string JsonError(const std::string& text) {
  return boost::json::serialize(boost::json::object{{"error", text}});
}

const char* ContentType(const std::string& name) {
  auto ends = [&](std::string_view suffix) {
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".png")) return "image/png";
  if (ends(".svg")) return "image/svg+xml";
  return nullptr;
}

// A plain file name of the page: letters, digits, "-", "_" and one "." before a known extension.
bool IsStaticName(const std::string& name) {
  if (name.empty() || name.front() == '.') return false;
  if (std::count(name.begin(), name.end(), '.') != 1) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
      return false;
    }
  }
  return ContentType(name) != nullptr;
}

struct Route {
  ConsoleReady ready;  // empty for an ordinary route
  ConsoleHandler handler;
};

struct Session {
  std::string id;
  std::string csrf;
};

// What one answer carries beyond a ConsoleResponse.
struct Reply {
  ConsoleResponse response;
  std::string set_cookie;
  bool close = false;
};

Reply Status(int status, const std::string& text) {
  Reply reply;
  reply.response.status = status;
  reply.response.body = JsonError(text);
  return reply;
}

class Connection;

// The server's state, shared with its connections so that a connection outliving Stop finds it.
struct Core {
  Core(asio::io_context& io, ConsoleOptions options)
      : io(io), options(std::move(options)), acceptor(io), retry(io), login_timer(io) {}

  void Log(const std::string& line) const {
    if (options.log) options.log(line);
  }

  bool HostAllowed(std::string_view host) const {
    std::string value = AsciiLowered(host);
    return std::find(hosts.begin(), hosts.end(), value) != hosts.end();
  }

  Session* FindSession(const std::string& id) {
    if (id.empty()) return nullptr;
    for (Session& session : sessions) {
      if (SameText(session.id, id)) return &session;
    }
    return nullptr;
  }

  asio::io_context& io;
  ConsoleOptions options;
  tcp::acceptor acceptor;
  asio::steady_timer retry;
  asio::steady_timer login_timer;
  bool login_pending = false;
  std::string secret;
  std::vector<std::string> hosts;  // accepted Host header values, lower case
  std::string origin;
  uint16_t port = 0;
  bool running = false;
  std::map<std::pair<std::string, std::string>, Route> routes;
  std::deque<Session> sessions;  // oldest first
  std::unordered_map<Connection*, std::weak_ptr<Connection>> connections;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(std::shared_ptr<Core> core, tcp::socket socket)
      : core_(std::move(core)), stream_(std::move(socket)), park_timer_(core_->io) {}
  ~Connection() { core_->connections.erase(this); }

  void Begin() {
    core_->connections[this] = weak_from_this();
    Read();
  }

  void Close() {
    parked_ = false;
    park_timer_.cancel();
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

  // A parked request whose route now reports ready is answered.
  void Recheck() {
    if (!parked_) return;
    auto found = core_->routes.find({parked_request_.method, parked_request_.path});
    if (found == core_->routes.end()) return;
    bool ready = false;
    try {
      ready = found->second.ready(parked_request_);
    } catch (...) {
      ready = true;  // the handler's own trap reports the fault
    }
    if (ready) Unpark();
  }

 private:
  void Read() {
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(core_->options.limits.max_header_bytes));
    parser_->body_limit(core_->options.limits.max_body_bytes);
    stream_.expires_after(core_->options.limits.header_timeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code error, size_t) { self->OnRead(error); });
  }

  void OnRead(beast::error_code error) {
    if (!core_->running) return Close();
    if (error == http::error::body_limit) {
      Reply reply = Status(413, "The request is too large.");
      reply.close = true;
      return Send(std::move(reply), false);
    }
    if (error == http::error::header_limit) {
      Reply reply = Status(431, "The request header is too large.");
      reply.close = true;
      return Send(std::move(reply), false);
    }
    if (error) return Close();  // end of stream, time-out, malformed request
    const auto& message = parser_->get();
    keep_alive_ = message.keep_alive();
    Reply reply;
    try {
      Dispatch(message, &reply);
    } catch (const std::exception& fault) {
      core_->Log(std::string("Console error: ") + fault.what());
      reply = Status(500, "Internal error.");
    } catch (...) {
      core_->Log("Console error of unknown kind");
      reply = Status(500, "Internal error.");
    }
    if (parked_ || login_wait_) return;
    Send(std::move(reply), keep_alive_);
  }

  void Dispatch(const http::request<http::string_body>& message, Reply* reply) {
    if (!core_->HostAllowed(message[http::field::host])) {
      *reply = Status(421, "This console answers only by its loopback address.");
      reply->close = true;
      return;
    }
    ConsoleRequest request;
    request.method = std::string(message.method_string());
    SplitTarget(message.target(), &request);
    request.body = message.body();

    bool api = request.path.rfind("/api/", 0) == 0;
    if (request.path == "/login") return Login(message, request, reply);
    if (!api && request.path != "/logout") return StaticFile(request, reply);

    Session* session =
        core_->FindSession(CookieValue(message[http::field::cookie], kSessionCookie));
    if (session == nullptr) {
      *reply = Status(401, "Please sign in.");
      return;
    }
    if (request.method != "GET" && request.method != "HEAD") {
      if (!SameOrigin(message)) {
        *reply = Status(403, "Cross-origin request refused.");
        return;
      }
      if (!SameText(std::string(message["X-CSRF-Token"]), session->csrf)) {
        *reply = Status(403, "Missing or wrong CSRF token.");
        return;
      }
    }
    if (request.path == "/logout") {
      if (request.method != "POST") {
        *reply = Status(405, "Method not allowed.");
        return;
      }
      std::string id = session->id;
      std::erase_if(core_->sessions, [&](const Session& s) { return s.id == id; });
      reply->set_cookie =
          std::string(kSessionCookie) + "=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0";
      reply->response.body = "{}";
      return;
    }
    if (request.path == "/api/session" && request.method == "GET") {
      reply->response.body = boost::json::serialize(boost::json::object{{"csrf", session->csrf}});
      return;
    }
    auto found = core_->routes.find({request.method, request.path});
    if (found == core_->routes.end()) {
      *reply = Status(404, "No such resource.");
      return;
    }
    const Route& route = found->second;
    if (route.ready && !route.ready(request)) {
      Park(std::move(request));
      return;
    }
    reply->response = Run(route, request);
  }

  ConsoleResponse Run(const Route& route, const ConsoleRequest& request) {
    try {
      return route.handler(request);
    } catch (const std::exception& fault) {
      core_->Log("Console error in " + request.method + " " + request.path + ": " + fault.what());
    } catch (...) {
      core_->Log("Console error in " + request.method + " " + request.path);
    }
    ConsoleResponse response;
    response.status = 500;
    response.body = JsonError("Internal error.");
    return response;
  }

  bool SameOrigin(const http::request<http::string_body>& message) const {
    auto origin = message.find(http::field::origin);
    if (origin != message.end()) {
      return AsciiLowered(origin->value()) == "http://" + AsciiLowered(message[http::field::host]);
    }
    return message["Sec-Fetch-Site"] == "same-origin";
  }

  void Login(const http::request<http::string_body>& message, const ConsoleRequest& request,
             Reply* reply) {
    if (request.method != "POST") {
      *reply = Status(405, "Method not allowed.");
      return;
    }
    if (!SameOrigin(message)) {
      *reply = Status(403, "Cross-origin request refused.");
      return;
    }
    if (core_->login_pending) {
      *reply = Status(429, "Too many attempts; try again in a moment.");
      return;
    }
    std::string offered;
    boost::system::error_code json_error;
    boost::json::value body = boost::json::parse(request.body, json_error);
    if (!json_error && body.is_object()) {
      if (const auto* secret = body.as_object().if_contains("secret");
          secret != nullptr && secret->is_string()) {
        offered = std::string(secret->as_string());
      }
    }
    offered = std::string(TrimWhitespace(offered));
    if (!SameText(AsciiLowered(offered), AsciiLowered(core_->secret))) {
      core_->Log("Console sign-in refused: wrong secret");
      core_->login_pending = true;
      login_wait_ = true;
      core_->login_timer.expires_after(core_->options.limits.failed_login_delay);
      core_->login_timer.async_wait([self = shared_from_this()](beast::error_code) {
        self->core_->login_pending = false;
        self->login_wait_ = false;
        if (!self->core_->running) return self->Close();
        self->Send(Status(401, "Wrong secret."), self->keep_alive_);
      });
      return;
    }
    Session session{RandomToken(), RandomToken()};
    if (session.id.empty() || session.csrf.empty()) {
      *reply = Status(500, "No random numbers to be had.");
      return;
    }
    while (core_->sessions.size() >= std::max<size_t>(1, core_->options.limits.max_sessions)) {
      core_->sessions.pop_front();
    }
    core_->sessions.push_back(session);
    reply->set_cookie =
        std::string(kSessionCookie) + "=" + session.id + "; HttpOnly; SameSite=Strict; Path=/";
    reply->response.body = boost::json::serialize(boost::json::object{{"csrf", session.csrf}});
  }

  void StaticFile(const ConsoleRequest& request, Reply* reply) {
    if (request.method != "GET" && request.method != "HEAD") {
      *reply = Status(405, "Method not allowed.");
      return;
    }
    std::string name = request.path == "/" ? "index.html" : request.path.substr(1);
    if (core_->options.static_folder.empty() || !IsStaticName(name)) {
      *reply = Status(404, "No such file.");
      return;
    }
    std::ifstream file(core_->options.static_folder + "/" + name, std::ios::binary);
    if (!file) {
      *reply = Status(404, "No such file.");
      return;
    }
    std::string content;
    char chunk[8192];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
      content.append(chunk, static_cast<size_t>(file.gcount()));
      if (content.size() > kMaxStaticFileBytes) {
        *reply = Status(500, "File too large.");
        return;
      }
    }
    reply->response.content_type = ContentType(name);
    reply->response.body = request.method == "HEAD" ? "" : std::move(content);
  }

  void Park(ConsoleRequest request) {
    parked_ = true;
    parked_request_ = std::move(request);
    stream_.expires_never();
    park_timer_.expires_after(core_->options.limits.long_poll_timeout);
    park_timer_.async_wait([self = shared_from_this()](beast::error_code error) {
      if (error || !self->parked_) return;
      self->Unpark();
    });
  }

  void Unpark() {
    parked_ = false;
    park_timer_.cancel();
    auto found = core_->routes.find({parked_request_.method, parked_request_.path});
    Reply reply;
    if (found == core_->routes.end()) {
      reply = Status(404, "No such resource.");
    } else {
      reply.response = Run(found->second, parked_request_);
    }
    Send(std::move(reply), keep_alive_);
  }

  void Send(Reply reply, bool keep_alive) {
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

  std::shared_ptr<Core> core_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  asio::steady_timer park_timer_;
  bool keep_alive_ = true;
  bool parked_ = false;
  bool login_wait_ = false;
  ConsoleRequest parked_request_;
};

class BeastConsoleServer final : public ConsoleServer {
 public:
  BeastConsoleServer(EventLoop& loop, ConsoleOptions options)
      : core_(std::make_shared<Core>(AsioContext(loop), std::move(options))) {}
  ~BeastConsoleServer() override { Stop(); }

  void AddRoute(const std::string& method, const std::string& path,
                ConsoleHandler handler) override {
    core_->routes[{method, path}] = Route{nullptr, std::move(handler)};
  }

  void AddWaitingRoute(const std::string& method, const std::string& path, ConsoleReady ready,
                       ConsoleHandler handler) override {
    core_->routes[{method, path}] = Route{std::move(ready), std::move(handler)};
  }

  void SignalChange() override {
    std::vector<std::shared_ptr<Connection>> live;
    for (auto& [raw, weak] : core_->connections) {
      if (auto connection = weak.lock()) live.push_back(std::move(connection));
    }
    for (auto& connection : live) connection->Recheck();
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
    if (std::error_code failed =
            LoadOrCreateConsoleSecret(core_->options.secret_path, &core_->secret)) {
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
    core_->hosts = {AsciiLowered(literal) + port, "localhost" + port, "127.0.0.1" + port,
                    "[::1]" + port};
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
    core_->login_timer.cancel();
    std::vector<std::shared_ptr<Connection>> live;
    for (auto& [raw, weak] : core_->connections) {
      if (auto connection = weak.lock()) live.push_back(std::move(connection));
    }
    for (auto& connection : live) connection->Close();
  }

  uint16_t BoundPort() const override { return core_->port; }
  std::string Origin() const override { return core_->origin; }

 private:
  static void Accept(std::shared_ptr<Core> core) {
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
      if (core->connections.size() >= core->options.limits.max_connections) {
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<Connection>(core, std::move(socket))->Begin();
      }
      Accept(core);
    });
  }

  std::shared_ptr<Core> core_;
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

std::error_code LoadOrCreateConsoleSecret(const std::string& path, std::string* secret) {
  if (path.empty()) return std::make_error_code(std::errc::invalid_argument);
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    std::string created = RandomToken();
    if (created.empty()) return std::error_code(errno, std::system_category());
    // The file layer's one durable write: the secret appears whole and owner-only, or not at all.
    const std::filesystem::path file(path);
    const std::string name = file.filename().string();
    const std::string temp = "." + name + ".tmp";
    ::unlink((file.parent_path() / temp).c_str());  // left by a start that crashed
    std::error_code written = NewPosixFileSystem()->WriteFileDurably(
        file.parent_path().string(), temp, name, created + "\n", FileReaders::kOwnerOnly);
    if (written != std::errc::file_exists) {
      if (!written) *secret = created;
      return written;
    }
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);  // another start's secret
  }
  if (fd < 0) return std::error_code(errno, std::system_category());
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    int saved = errno;
    ::close(fd);
    return std::error_code(saved, std::system_category());
  }
  if (!S_ISREG(info.st_mode) || (info.st_mode & 077) != 0) {
    ::close(fd);
    return std::make_error_code(std::errc::permission_denied);  // open to others: not a secret
  }
  char buffer[256];
  ssize_t got = ::read(fd, buffer, sizeof buffer);
  int saved = errno;
  ::close(fd);
  if (got < 0) return std::error_code(saved, std::system_category());
  std::string text(buffer, static_cast<size_t>(got));
  while (!text.empty() && IsAsciiWhitespace(text.back())) text.pop_back();
  if (!IsSecretText(text)) return std::make_error_code(std::errc::illegal_byte_sequence);
  *secret = AsciiLowered(text);
  return {};
}

std::unique_ptr<ConsoleServer> NewBeastConsoleServer(EventLoop& loop, ConsoleOptions options) {
  return std::make_unique<BeastConsoleServer>(loop, std::move(options));
}

}  // namespace mailvane
