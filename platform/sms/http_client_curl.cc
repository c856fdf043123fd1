#include <curl/curl.h>

#include <algorithm>
#include <cctype>

#include "platform/sms/http_client.h"

namespace mailvane {
namespace {

bool CurlReady() {
  static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
  return init == CURLE_OK;
}

size_t KeepBody(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const size_t bytes = size * count;
  if (body->size() < kMaxHttpResponseBody) {
    body->append(data, std::min(bytes, kMaxHttpResponseBody - body->size()));
  }
  return bytes;
}

// Keeps the Retry-After and Set-Cookie values of the last answer (an answer after 100 Continue
// starts afresh).
size_t KeepHeaders(char* data, size_t size, size_t count, void* user) {
  auto* response = static_cast<HttpResponse*>(user);
  const std::string line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) {
    response->retry_after.clear();
    response->set_cookie.clear();
  }
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return size * count;
  std::string name = line.substr(0, colon + 1);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string* value = name == "retry-after:"  ? &response->retry_after
                       : name == "set-cookie:" ? &response->set_cookie
                                               : nullptr;
  if (value != nullptr) {
    std::string rest = line.substr(colon + 1);
    const size_t first = rest.find_first_not_of(" \t");
    const size_t last = rest.find_last_not_of(" \t\r\n");
    *value = first == std::string::npos ? std::string() : rest.substr(first, last - first + 1);
  }
  return size * count;
}

// Ends the transfer once the abort was called; libcurl asks at least once a second.
int CheckAbort(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* abort = static_cast<const SendAbort*>(user);
  return abort != nullptr && abort->aborted() ? 1 : 0;
}

// The one place where libcurl's failures become the client's kinds.
HttpFailure KindOf(CURLcode code, bool connected) {
  switch (code) {
    case CURLE_OK:
      return HttpFailure::kNone;
    case CURLE_ABORTED_BY_CALLBACK:
      return HttpFailure::kAborted;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      return HttpFailure::kConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return connected ? HttpFailure::kTimeout : HttpFailure::kConnect;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return HttpFailure::kTls;
    default:
      return HttpFailure::kOther;
  }
}

class CurlHttpClient final : public HttpClient {
 public:
  explicit CurlHttpClient(const HttpClientOptions& options)
      : options_(options), curl_(CurlReady() ? curl_easy_init() : nullptr) {}
  ~CurlHttpClient() override {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);
  }

  HttpResponse Perform(const HttpRequest& request) override {
    HttpResponse response;
    if (curl_ == nullptr) {
      response.failure = "libcurl could not be initialised";
      response.kind = HttpFailure::kOther;
      return response;
    }
    if (options_.abort && options_.abort->aborted()) {
      response.failure = "stopped";
      response.kind = HttpFailure::kAborted;
      return response;
    }
    // Reset keeps the connection cache, so the next request to the same host reuses it.
    curl_easy_reset(curl_);
    char error[CURL_ERROR_SIZE] = "";
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers) {
      headers = curl_slist_append(headers, (name + ": " + value).c_str());
    }
    headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip
    curl_easy_setopt(curl_, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    if (request.method == "GET") {
      curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
    } else {
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, request.body.data());
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.body.size()));
      if (request.method != "POST") {
        curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, request.method.c_str());
      }
    }
    if (!request.user.empty()) {
      curl_easy_setopt(curl_, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
      curl_easy_setopt(curl_, CURLOPT_USERNAME, request.user.c_str());
      curl_easy_setopt(curl_, CURLOPT_PASSWORD, request.password.c_str());
    }
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options_.ca_file.empty())
      curl_easy_setopt(curl_, CURLOPT_CAINFO, options_.ca_file.c_str());
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options_.connect_timeout.count()));
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.total_timeout.count()));
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &KeepBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &KeepHeaders);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &response);
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &CheckAbort);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, options_.abort.get());
    const CURLcode code = curl_easy_perform(curl_);
    curl_slist_free_all(headers);
    if (code != CURLE_OK) {
      curl_off_t connect_time = 0;
      curl_easy_getinfo(curl_, CURLINFO_CONNECT_TIME_T, &connect_time);
      response.kind = KindOf(code, connect_time > 0);
      response.failure = code == CURLE_ABORTED_BY_CALLBACK ? "stopped"
                         : error[0] != '\0'                ? std::string(error)
                                                           : curl_easy_strerror(code);
      response.body.clear();
      return response;
    }
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &response.status);
    return response;
  }

 private:
  HttpClientOptions options_;
  CURL* curl_;
};

}  // namespace

std::unique_ptr<HttpClient> NewCurlHttpClient(const HttpClientOptions& options) {
  return std::make_unique<CurlHttpClient>(options);
}

}  // namespace mailvane
