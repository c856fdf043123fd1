// An HTTP client for tests: records every request and answers from a script, in order; when the
// script is used up it answers 200 with an empty body. Single-threaded.
#ifndef MAILVANE_PLATFORM_SMS_TESTING_FAKE_HTTP_CLIENT_H_
#define MAILVANE_PLATFORM_SMS_TESTING_FAKE_HTTP_CLIENT_H_

#include <deque>
#include <memory>
#include <vector>

#include "platform/sms/http_client.h"

namespace mailvane {

struct FakeHttpLog {
  std::vector<HttpRequest> requests;
  std::deque<HttpResponse> script;
};

class FakeHttpClient final : public HttpClient {
 public:
  explicit FakeHttpClient(std::shared_ptr<FakeHttpLog> log) : log_(std::move(log)) {}
  HttpResponse Perform(const HttpRequest& request) override {
    log_->requests.push_back(request);
    if (log_->script.empty()) return {200, "", "", ""};
    HttpResponse answer = log_->script.front();
    log_->script.pop_front();
    return answer;
  }

 private:
  std::shared_ptr<FakeHttpLog> log_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMS_TESTING_FAKE_HTTP_CLIENT_H_
