// What the gateway reports to monitoring: its counters and gauges, rendered in the Prometheus
// text format (version 0.0.4), and its health. Counters only grow for the life of the server:
// the handler's counts continue across handler restarts.
#ifndef MAILVANE_SERVER_GATEWAY_METRICS_H_
#define MAILVANE_SERVER_GATEWAY_METRICS_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace mailvane {

// Why a mail or a client was refused: the label values of mailvane_mails_refused_total.
enum class RefusedReason {
  kNotAllowed,     // the client's address is not on the allow-list
  kTooBig,         // the message or its announced size is over the bound
  kBareCr,         // a CR without LF in the message text
  kTooManyErrors,  // too many bad commands, or too much pipelined input
  kTimeout,        // the client was silent too long
  kSpoolWrite,     // the spool file could not be written (answered 451)
  kOther,          // any other reply that ended a transaction
};
inline constexpr size_t kRefusedReasons = 7;
std::string_view RefusedReasonLabel(RefusedReason reason);
// The reason of a transaction the listener ended, from its reply line.
RefusedReason ClassifyRefusal(std::string_view reply);

// What a handler counts, as it reports it: its own counters since it started, its queue and
// what it knows of the provider.
struct HandlerCounts {
  int64_t sms_sent = 0;             // SMS recipients the provider took
  int64_t sms_attempts_failed = 0;  // every failed attempt, retries included
  int64_t forwards = 0;
  int64_t error_mails = 0;
  int64_t queue_messages = 0;
  double queue_oldest_seconds = 0;     // the longest any queued message has waited; 0 when none
  int64_t sms_failed_permanently = 0;  // SMS recipients concluded by a permanent failure
  int64_t sms_given_up = 0;            // SMS recipients whose message expired unsent
  std::string provider_down;           // "<provider> since <when> (<why>)"; empty while it works
  // Delivery receipts of a final state: delivered, undelivered, expired, rejected.
  std::array<int64_t, 4> receipts{};
};
inline constexpr std::array<const char*, 4> kReceiptStates = {"delivered", "undelivered", "expired",
                                                              "rejected"};

struct GatewayMetrics {
  int64_t mails_received = 0;
  std::array<int64_t, kRefusedReasons> refused{};
  int64_t error_mails = 0;  // the server's own; the handler's are in handler
  int64_t handler_restarts = 0;
  bool handler_up = false;
  bool handler_restarting = false;  // down, and a restart is due
  bool listening = false;
  HandlerCounts handler;  // counters summed over every handler of this server
};

// The body of GET /metrics.
std::string RenderMetrics(const GatewayMetrics& metrics);
// Empty when healthy (the listener listens and a handler runs), else why not.
std::string HealthProblem(const GatewayMetrics& metrics);
// The body of GET /healthz: "ok" or the problem, and a provider that is down
// ("; provider down: ..."), which leaves the process healthy.
std::string HealthText(const GatewayMetrics& metrics);

}  // namespace mailvane

#endif  // MAILVANE_SERVER_GATEWAY_METRICS_H_
