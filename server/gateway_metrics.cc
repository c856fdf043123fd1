#include "server/gateway_metrics.h"

#include <cstdio>

namespace mailvane {
namespace {

constexpr std::string_view kLabels[kRefusedReasons] = {
    "not_allowed", "too_big", "bare_cr", "too_many_errors", "timeout", "spool_write", "other"};

void Family(std::string* out, const char* name, const char* type, const char* help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string* out, const std::string& name, int64_t value) {
  *out += name + " " + std::to_string(value) + "\n";
}

}  // namespace

std::string_view RefusedReasonLabel(RefusedReason reason) {
  return kLabels[static_cast<size_t>(reason)];
}

RefusedReason ClassifyRefusal(std::string_view reply) {
  auto has = [&](std::string_view text) { return reply.find(text) != std::string_view::npos; };
  if (has(" 5.3.4 ")) return RefusedReason::kTooBig;
  if (has(" 5.6.0 ")) return RefusedReason::kBareCr;
  if (has("Too many errors") || has("Too much pipelined input")) {
    return RefusedReason::kTooManyErrors;
  }
  if (has(" 4.4.2 ")) return RefusedReason::kTimeout;
  return RefusedReason::kOther;
}

std::string RenderMetrics(const GatewayMetrics& m) {
  std::string out;
  Family(&out, "mailvane_mails_received_total", "counter", "Mails received by the listener.");
  Sample(&out, "mailvane_mails_received_total", m.mails_received);
  Family(&out, "mailvane_mails_refused_total", "counter", "Clients and mails refused, by reason.");
  for (size_t i = 0; i < kRefusedReasons; ++i) {
    Sample(&out, "mailvane_mails_refused_total{reason=\"" + std::string(kLabels[i]) + "\"}",
           m.refused[i]);
  }
  Family(&out, "mailvane_sms_sent_total", "counter",
         "SMS recipients whose SMS the provider took, each once.");
  Sample(&out, "mailvane_sms_sent_total", m.handler.sms_sent);
  Family(&out, "mailvane_sms_failed_total", "counter",
         "SMS recipients never sent, each once, by reason: a permanent failure, or the message "
         "expired while it was retried.");
  Sample(&out, "mailvane_sms_failed_total{reason=\"permanent\"}", m.handler.sms_failed_permanently);
  Sample(&out, "mailvane_sms_failed_total{reason=\"expired\"}", m.handler.sms_given_up);
  Family(&out, "mailvane_sms_attempts_failed_total", "counter",
         "SMS send attempts that failed; a recipient retried counts once per attempt.");
  Sample(&out, "mailvane_sms_attempts_failed_total", m.handler.sms_attempts_failed);
  Family(&out, "mailvane_receipts_total", "counter",
         "Delivery receipts of SMS sent, by the state they report.");
  for (size_t i = 0; i < kReceiptStates.size(); ++i) {
    Sample(&out, "mailvane_receipts_total{state=\"" + std::string(kReceiptStates[i]) + "\"}",
           m.handler.receipts[i]);
  }
  Family(&out, "mailvane_forwards_total", "counter", "Mails forwarded to e-mail recipients.");
  Sample(&out, "mailvane_forwards_total", m.handler.forwards);
  Family(&out, "mailvane_error_mails_total", "counter", "Error mails to the administrator.");
  Sample(&out, "mailvane_error_mails_total", m.error_mails + m.handler.error_mails);
  Family(&out, "mailvane_handler_restarts_total", "counter",
         "Queue handlers started again after one ended.");
  Sample(&out, "mailvane_handler_restarts_total", m.handler_restarts);
  Family(&out, "mailvane_queue_messages", "gauge", "Messages in the handler's queue.");
  Sample(&out, "mailvane_queue_messages", m.handler.queue_messages);
  Family(&out, "mailvane_queue_oldest_seconds", "gauge",
         "Seconds the oldest queued message has waited.");
  char oldest[32];
  std::snprintf(oldest, sizeof oldest, "%.3f", m.handler.queue_oldest_seconds);
  out += std::string("mailvane_queue_oldest_seconds ") + oldest + "\n";
  Family(&out, "mailvane_handler_up", "gauge", "1 while a queue handler runs.");
  Sample(&out, "mailvane_handler_up", m.handler_up ? 1 : 0);
  Family(&out, "mailvane_provider_up", "gauge",
         "0 while the SMS provider cannot be used (connection, TLS, bind, login or settings), "
         "as the handler last found; 1 otherwise.");
  Sample(&out, "mailvane_provider_up", m.handler.provider_down.empty() ? 1 : 0);
  return out;
}

std::string HealthProblem(const GatewayMetrics& m) {
  std::string problem;
  auto add = [&](const std::string& text) { problem += (problem.empty() ? "" : "; ") + text; };
  if (!m.listening) add("listener not listening");
  if (!m.handler_up)
    add(m.handler_restarting ? "handler not running (restarting)" : "handler not running");
  return problem;
}

std::string HealthText(const GatewayMetrics& m) {
  std::string problem = HealthProblem(m);
  std::string text = problem.empty() ? "ok" : problem;
  if (!m.handler.provider_down.empty()) text += "; provider down: " + m.handler.provider_down;
  return text;
}

}  // namespace mailvane
