#include "handler/provider_outage.h"

#include <utility>

#include "common/text.h"
#include "platform/base/ascii.h"
#include "platform/sms/provider_settings.h"
#include "platform/sms/sms_renderer.h"

namespace mailvane {

std::string ProviderName(const ProviderSettings& s) {
  const std::string protocol = AsciiLowered(s.Protocol);
  if (protocol == "smpp") return "smpp " + s.Host + ":" + (s.Port.empty() ? "2775" : s.Port);
  if (protocol == "http") {
    // The API's host: what lies between "://" and the path.
    std::string host = s.Url;
    if (size_t scheme = host.find("://"); scheme != std::string::npos) host.erase(0, scheme + 3);
    return "http " + host.substr(0, host.find_first_of("/?#"));
  }
  if (protocol.empty() || protocol == "mail") return std::string("mail ") + kSmsGatewayAddress;
  return s.Protocol;
}

ProviderOutage::ProviderOutage(const Clock& clock, std::string provider)
    : clock_(clock), provider_(std::move(provider)) {}

void ProviderOutage::Failed(const std::string& reason) {
  if (failed_++ == 0) first_failure_ = clock_.Now();
  last_reason_ = reason;
}

void ProviderOutage::Sent() { ++sent_; }

std::optional<OutageNotice> ProviderOutage::EndPass(bool full) {
  const int64_t failed = std::exchange(failed_, 0);
  const int64_t sent = std::exchange(sent_, 0);
  const TimePoint now = clock_.Now();
  if (sent > 0) {
    if (!down_) return std::nullopt;
    down_ = false;
    if (!announced_) return std::nullopt;  // over before it was announced
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(now - since_).count();
    return OutageNotice{"Provider recovered",
                        "SMS provider " + provider_ + " recovered after " +
                            std::to_string(minutes) + " minutes, " + std::to_string(sent) +
                            " SMS sent",
                        true};
  }
  if (failed == 0) return std::nullopt;
  reason_ = last_reason_;
  if (!down_) {
    down_ = true;
    announced_ = false;
    since_ = first_failure_;
  }
  if (!full) return std::nullopt;
  const char* subject = "Provider down";
  if (announced_) {
    if (now - last_notice_ < kOutageReminderInterval) return std::nullopt;
    subject = "Provider still down";
  }
  announced_ = true;
  last_notice_ = now;
  return OutageNotice{subject,
                      "SMS provider " + provider_ + " cannot be used since " +
                          FormatGeneralDate(clock_.ToLocal(since_)) + ": " + reason_ + ". " +
                          std::to_string(failed) +
                          " SMS wait and are retried; no error mail is sent per message until "
                          "the provider recovers",
                      false};
}

std::string ProviderOutage::DownText() const {
  if (!down_) return "";
  return provider_ + " since " + FormatGeneralDate(clock_.ToLocal(since_)) + " (" + reason_ + ")";
}

}  // namespace mailvane
