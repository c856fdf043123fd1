// Renderers that send each SMS as one request to the provider's REST API, over one HTTP client
// that the factory holds for the handler's life, so that its connection is kept alive across
// recipients and passes. A number that HttpNumberDigits refuses fails Send before anything is
// sent. Only the answers that say the request was not taken (429 and 503) are tried again, after
// Retry-After or else a back-off of 1 s doubling, at most kHttpMaxTries times and
// kHttpMaxRetryWait of waiting in one Send; the handler's own retry on its next pass does the
// rest, with the same {reference}. Send's codes: kSmsInvalidNumber, kSmsIncomplete,
// kSmsProviderFailed with ErrorText "HTTP <status>: <the provider's text>" or "HTTP request to
// <origin> failed: <reason>". ErrorText never holds the password. Failure: 401 and 403, a 3xx,
// no connection, TLS: kProvider; 408, 429, 5xx, a time-out, a broken connection, a 2xx the
// success rule refuses: kTemporary; any other 4xx and an invalid number: kPermanent; a send that
// the abort or Close ended: kStopping.
#ifndef MAILVANE_PLATFORM_SMS_SMS_RENDERER_HTTP_H_
#define MAILVANE_PLATFORM_SMS_SMS_RENDERER_HTTP_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/loop/clock.h"
#include "platform/sms/http_client.h"
#include "platform/sms/http_provider.h"
#include "platform/sms/sms_renderer.h"

namespace mailvane {

inline constexpr int kHttpMaxTries = 3;
inline constexpr std::chrono::seconds kHttpBackoffFirst{1};
inline constexpr std::chrono::seconds kHttpMaxRetryWait{10};

struct HttpRendererEnvironment {
  std::unique_ptr<HttpClient> client;
  std::function<TimePoint()> now;                   // for Retry-After dates
  std::function<bool(std::chrono::seconds)> pause;  // waits before a retry; false: stopped
  std::function<void(const std::string&)> log;      // one line per retry; may be empty
};

// {from} is the provider's from, or when that is empty the renderer's ReplyName.
std::unique_ptr<SmsRendererFactory> NewHttpSmsRendererFactory(HttpRendererEnvironment environment,
                                                              HttpProvider provider);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SMS_SMS_RENDERER_HTTP_H_
