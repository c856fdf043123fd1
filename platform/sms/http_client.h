// An HTTP(S) client for the provider's REST API: one connection kept alive across requests, the
// server's certificate and host name always verified, connect and total time-outs, no redirects.
// Perform blocks until the answer, a failure or, within about a second, the options' abort.
// Loop thread only (Abort of the abort: any thread); not thread-safe.
#ifndef MAILVANE_PLATFORM_SMS_HTTP_CLIENT_H_
#define MAILVANE_PLATFORM_SMS_HTTP_CLIENT_H_

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/send_abort.h"

namespace mailvane {

// Bytes of an answer's body that are kept; the rest is read and dropped.
inline constexpr std::size_t kMaxHttpResponseBody = 64 * 1024;

struct HttpClientOptions {
  std::string ca_file;  // PEM certificates trusted for HTTPS; empty: the system's store
  std::chrono::milliseconds connect_timeout{10000};
  std::chrono::milliseconds total_timeout{30000};  // the whole request, connecting included
  std::shared_ptr<SendAbort> abort;                // ends a request under way; may be null
};

struct HttpRequest {
  std::string method = "POST";  // GET, POST or PUT
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;  // Content-Type among them, if any
  std::string body;
  // HTTP basic authentication when user is not empty.
  std::string user;
  std::string password;
};

// Why no answer came.
enum class HttpFailure {
  kNone,     // an answer came
  kConnect,  // no connection: the name did not resolve, the connect was refused or timed out
  kTls,      // the TLS handshake or the server's certificate failed
  kTimeout,  // connected, but the answer did not come in time
  kAborted,  // the options' abort ended the request
  kOther,    // the connection broke, or anything else
};

struct HttpResponse {
  // 0 when no answer came; failure then says why in a sentence without the URL's path or query
  // ("Connection refused", "SSL certificate problem: ...", "Operation timed out ..."), and kind
  // which kind of failure it was.
  long status = 0;
  std::string failure;
  std::string body;         // at most kMaxHttpResponseBody bytes
  std::string retry_after;  // the Retry-After header's value, as sent
  HttpFailure kind = HttpFailure::kNone;
  std::string set_cookie = std::string();  // the last Set-Cookie header's value, as sent
};

class HttpClient {
 public:
  HttpClient() = default;
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;
  virtual ~HttpClient() = default;
  virtual HttpResponse Perform(const HttpRequest& request) = 0;
};

// libcurl, one easy handle for the client's life (its connection cache gives keep-alive).
std::unique_ptr<HttpClient> NewCurlHttpClient(const HttpClientOptions& options);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMS_HTTP_CLIENT_H_
