#include "platform/console/console_requests.h"

#include <algorithm>
#include <boost/json.hpp>
#include <fstream>

#include "platform/base/ascii.h"

namespace mailvane {
namespace {

namespace http = boost::beast::http;

constexpr size_t kMaxStaticFileBytes = 4 * 1024 * 1024;

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

ConsoleReply CsrfReply(const ConsoleSession& session) {
  ConsoleReply reply;
  reply.response.body = boost::json::serialize(boost::json::object{{"csrf", session.csrf}});
  return reply;
}

bool ReadsOnly(const std::string& method) { return method == "GET" || method == "HEAD"; }

}  // namespace

ConsoleReply ErrorReply(int status, const std::string& text) {
  ConsoleReply reply;
  reply.response.status = status;
  reply.response.body = boost::json::serialize(boost::json::object{{"error", text}});
  return reply;
}

ConsoleRequests::ConsoleRequests(const ConsoleOptions& options)
    : options_(options), sessions_(options.limits.max_sessions) {
  routes_.Add("POST", "/login",
              {false, nullptr, [this](const RouteCall& call) { return SignIn(call); }});
  routes_.Add("POST", "/logout", {true, nullptr, [this](const RouteCall& call) {
                                    sessions_.End(call.session->id);
                                    ConsoleReply reply;
                                    reply.set_cookie = ConsoleSessions::ClearCookie();
                                    reply.response.body = "{}";
                                    return reply;
                                  }});
  routes_.Add("GET", "/api/session",
              {true, nullptr, [](const RouteCall& call) { return CsrfReply(*call.session); }});
}

void ConsoleRequests::AddRoute(const std::string& method, const std::string& path,
                               bool needs_sign_in, ConsoleReady ready, ConsoleHandler handler) {
  routes_.Add(
      method, path,
      {needs_sign_in, std::move(ready),
       [this, handler = std::move(handler)](const RouteCall& call) {
         const ConsoleRequest& request = call.request;
         ConsoleReply reply;
         try {
           reply.response = handler(request);
           return reply;
         } catch (const std::exception& fault) {
           Log("Console error in " + request.method + " " + request.path + ": " + fault.what());
         } catch (...) {
           Log("Console error in " + request.method + " " + request.path);
         }
         return ErrorReply(500, "Internal error.");
       }});
}

void ConsoleRequests::Listening(std::string secret, std::vector<std::string> hosts) {
  sessions_.SetSecret(std::move(secret));
  hosts_ = std::move(hosts);
}

ConsoleOutcome ConsoleRequests::Handle(const ConsoleMessage& message) {
  ConsoleOutcome outcome;
  if (!HostAllowed(message[http::field::host])) {
    outcome.reply = ErrorReply(421, "This console answers only by its loopback address.");
    outcome.reply.close = true;
    return outcome;
  }
  ConsoleRequest request;
  request.method = std::string(message.method_string());
  SplitTarget(message.target(), &request);
  request.body = message.body();
  ConsoleHeaders headers;
  headers.host = message[http::field::host];
  auto origin = message.find(http::field::origin);
  headers.has_origin = origin != message.end();
  if (headers.has_origin) headers.origin = origin->value();
  headers.sec_fetch_site = message["Sec-Fetch-Site"];
  headers.cookie = message[http::field::cookie];
  headers.csrf_token = message["X-CSRF-Token"];

  const ConsoleRoute* route = routes_.Find(request.method, request.path);
  const ConsoleRoute* any = route != nullptr ? route : routes_.AnyAt(request.path);
  // Paths under /api/ are never files and always need a session, routed or not.
  const bool api = request.path.rfind("/api/", 0) == 0;
  if (any == nullptr && !api) {
    outcome.reply = StaticFile(request);
    return outcome;
  }
  const ConsoleSession* session = nullptr;
  if (any == nullptr || any->needs_sign_in) {
    session = sessions_.Find(headers);
    if (session == nullptr) {
      outcome.reply = ErrorReply(401, "Please sign in.");
      return outcome;
    }
    if (!ReadsOnly(request.method)) {
      if (std::string refused = sessions_.CheckChange(*session, headers); !refused.empty()) {
        outcome.reply = ErrorReply(403, refused);
        return outcome;
      }
    }
  }
  if (route == nullptr) {
    outcome.reply = any == nullptr ? ErrorReply(404, "No such resource.")
                                   : ErrorReply(405, "Method not allowed.");
    return outcome;
  }
  if (route->ready && !route->ready(request)) {
    outcome.park = route;
    outcome.request = std::move(request);
    return outcome;
  }
  outcome.reply = route->handle(RouteCall{request, headers, session});
  return outcome;
}

ConsoleReply ConsoleRequests::SignIn(const RouteCall& call) {
  ConsoleSession session;
  switch (sessions_.SignIn(call.headers, call.request.body, &session)) {
    case SignInOutcome::kCrossOrigin:
      return ErrorReply(403, "Cross-origin request refused.");
    case SignInOutcome::kBusy:
      return ErrorReply(429, "Too many attempts; try again in a moment.");
    case SignInOutcome::kWrongSecret: {
      Log("Console sign-in refused: wrong secret");
      ConsoleReply reply = ErrorReply(401, "Wrong secret.");
      reply.delayed = true;
      return reply;
    }
    case SignInOutcome::kNoRandom:
      return ErrorReply(500, "No random numbers to be had.");
    case SignInOutcome::kAccepted:
      break;
  }
  ConsoleReply reply = CsrfReply(session);
  reply.set_cookie = ConsoleSessions::SetCookie(session);
  return reply;
}

ConsoleReply ConsoleRequests::StaticFile(const ConsoleRequest& request) const {
  if (!ReadsOnly(request.method)) return ErrorReply(405, "Method not allowed.");
  std::string name = request.path == "/" ? "index.html" : request.path.substr(1);
  if (options_.static_folder.empty() || !IsStaticName(name)) {
    return ErrorReply(404, "No such file.");
  }
  std::ifstream file(options_.static_folder + "/" + name, std::ios::binary);
  if (!file) return ErrorReply(404, "No such file.");
  std::string content;
  char chunk[8192];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    content.append(chunk, static_cast<size_t>(file.gcount()));
    if (content.size() > kMaxStaticFileBytes) return ErrorReply(500, "File too large.");
  }
  ConsoleReply reply;
  reply.response.content_type = ContentType(name);
  reply.response.body = request.method == "HEAD" ? "" : std::move(content);
  return reply;
}

bool ConsoleRequests::HostAllowed(std::string_view host) const {
  std::string value = AsciiLowered(host);
  return std::find(hosts_.begin(), hosts_.end(), value) != hosts_.end();
}

void ConsoleRequests::Log(const std::string& line) const {
  if (options_.log) options_.log(line);
}

}  // namespace mailvane
