#include "platform/sms/sms_renderer_http.h"

#include <utility>
#include <vector>

namespace mailvane {
namespace {

SendFailure FailureOf(HttpFailure kind) {
  switch (kind) {
    case HttpFailure::kConnect:
    case HttpFailure::kTls:
      return SendFailure::kProvider;
    case HttpFailure::kAborted:
      return SendFailure::kStopping;
    default:
      return SendFailure::kTemporary;
  }
}

// Of an answer that is not a success.
SendFailure FailureOfStatus(long status) {
  if (status == 401 || status == 403) return SendFailure::kProvider;  // the account is refused
  if (status >= 300 && status <= 399) return SendFailure::kProvider;  // the Url needs mending
  if (status == 408 || status == 429) return SendFailure::kTemporary;
  if (status >= 400 && status <= 499) return SendFailure::kPermanent;
  return SendFailure::kTemporary;
}

struct HttpShared {
  HttpRendererEnvironment environment;
  HttpProvider provider;
  bool closed = false;
};

class HttpSmsRenderer final : public SmsRendererBase {
 public:
  explicit HttpSmsRenderer(HttpShared& shared) : shared_(shared) {}

  long Send() override {
    ClearError();
    if (recipients_.empty()) return Fail(kSmsIncomplete, "SMS request incomplete: no recipient");
    if (shared_.provider.basic_auth && account_.empty()) {
      return Fail(kSmsIncomplete, "SMS request incomplete: no account");
    }
    std::vector<std::string> digits;
    for (const auto& [number, name] : recipients_) {
      std::optional<std::string> d = HttpNumberDigits(number);
      if (!d) return Fail(kSmsInvalidNumber, "Invalid mobile number \"" + number + "\"");
      digits.push_back(*d);
    }
    if (shared_.closed) {
      return Fail(kSmsProviderFailed, "HTTP provider closed", SendFailure::kStopping);
    }
    for (std::size_t i = 0; i < recipients_.size(); ++i) {
      HttpPlaceholders values{recipients_[i].first,
                              digits[i],
                              text_,
                              account_,
                              password_,
                              recipients_[i].second,
                              shared_.provider.from.empty() ? reply_name_ : shared_.provider.from,
                              HttpReference(reference_, digits[i])};
      if (long code = Deliver(BuildHttpRequest(shared_.provider, values)); code != 0) return code;
    }
    return 0;
  }

 private:
  long Deliver(const HttpRequest& request) {
    const HttpProvider& provider = shared_.provider;
    const std::string origin = HttpOrigin(request.url);
    std::chrono::seconds waited{0};
    std::chrono::seconds backoff = kHttpBackoffFirst;
    for (int attempt = 1;; ++attempt) {
      HttpResponse answer = shared_.environment.client->Perform(request);
      if (answer.status == 0) {
        return Fail(
            kSmsProviderFailed,
            "HTTP request to " + origin + " failed: " + WithoutPassword(answer.failure, password_),
            FailureOf(answer.kind));
      }
      std::string problem = HttpSuccessProblem(provider.success, answer.status, answer.body);
      if (problem.empty()) return 0;
      // Only these two say that the provider did not take the request; after any other answer
      // a second request could send the SMS twice, so it waits for the next pass.
      const bool again = answer.status == 429 || answer.status == 503;
      const std::chrono::seconds wait =
          ParseRetryAfter(answer.retry_after, shared_.environment.now()).value_or(backoff);
      if (!again || attempt == kHttpMaxTries || waited + wait > kHttpMaxRetryWait) {
        return Fail(
            kSmsProviderFailed,
            HttpErrorText(answer.status, answer.body, provider.error_pointer, problem, password_),
            FailureOfStatus(answer.status));
      }
      if (shared_.environment.log) {
        shared_.environment.log("HTTP " + std::to_string(answer.status) + " from " + origin +
                                ", trying again in " + std::to_string(wait.count()) + " s");
      }
      if (!shared_.environment.pause(wait)) {
        return Fail(kSmsProviderFailed, "HTTP request to " + origin + " stopped",
                    SendFailure::kStopping);
      }
      waited += wait;
      backoff *= 2;
    }
  }

  HttpShared& shared_;
};

class HttpSmsRendererFactory final : public SmsRendererFactory {
 public:
  HttpSmsRendererFactory(HttpRendererEnvironment environment, HttpProvider provider)
      : shared_{std::move(environment), std::move(provider)} {}
  std::unique_ptr<SmsRenderer> NewRenderer() override {
    return std::make_unique<HttpSmsRenderer>(shared_);
  }
  void Close() override {
    shared_.closed = true;
    shared_.environment.client.reset();
  }

 private:
  HttpShared shared_;
};

}  // namespace

std::unique_ptr<SmsRendererFactory> NewHttpSmsRendererFactory(HttpRendererEnvironment environment,
                                                              HttpProvider provider) {
  return std::make_unique<HttpSmsRendererFactory>(std::move(environment), std::move(provider));
}

}  // namespace mailvane
