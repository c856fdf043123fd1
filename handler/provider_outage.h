// The provider's outages as the handler sees them. A pass in which SMS failed only because the
// provider itself could not be used (no connection, TLS, bind or login refused, unusable
// settings) begins or continues an outage; a pass in which the provider took an SMS ends it.
// The administrator hears of an outage by one mail when it begins, at most one an hour while it
// lasts, and one when it ends, instead of one mail per waiting message. Loop thread only.
#ifndef MAILVANE_HANDLER_PROVIDER_OUTAGE_H_
#define MAILVANE_HANDLER_PROVIDER_OUTAGE_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/loop/clock.h"

namespace mailvane {

struct ProviderSettings;

// Reminders while an outage lasts come at most this often.
inline constexpr std::chrono::hours kOutageReminderInterval{1};

// The provider as the administrator knows it: its Protocol and where SMS go ("smpp host:port",
// "http host", "mail" and the gateway address).
std::string ProviderName(const ProviderSettings& settings);

// What to tell the administrator: the subject after "Vanequeue <id> ", and the text, which is
// the mail's body and the log line.
struct OutageNotice {
  std::string subject;
  std::string text;
  bool recovered = false;
};

class ProviderOutage {
 public:
  ProviderOutage(const Clock& clock, std::string provider);

  // One SMS failed because of the provider; reason is the renderer's ErrorText.
  void Failed(const std::string& reason);
  // The provider took one SMS.
  void Sent();
  // Ends a pass: its outcomes decide whether the provider is down. full: the pass tried every
  // queued message, so its failures count the SMS that wait; an outage that began in a pass
  // that was not full is announced by the next full one. Returns the notice due now, if any.
  std::optional<OutageNotice> EndPass(bool full);

  bool down() const { return down_; }
  const std::string& provider() const { return provider_; }
  // "<provider> since <date and time> (<reason>)" while down; empty otherwise.
  std::string DownText() const;

 private:
  const Clock& clock_;
  std::string provider_;
  // This pass.
  int64_t failed_ = 0;
  int64_t sent_ = 0;
  TimePoint first_failure_{};
  std::string last_reason_;
  // The outage.
  bool down_ = false;
  bool announced_ = false;  // its first mail went out
  TimePoint since_{};
  TimePoint last_notice_{};
  std::string reason_;
};

}  // namespace mailvane

#endif  // MAILVANE_HANDLER_PROVIDER_OUTAGE_H_
