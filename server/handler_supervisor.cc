#include "server/handler_supervisor.h"

#include <algorithm>

#include "common/error.h"
#include "platform/loop/event_loop.h"

namespace mailvane {
namespace {

void ThrowIfFailed(const CallResult& result) {
  if (result.error_number != 0) {
    throw MailvaneError(result.error_number, result.description, result.source);
  }
}

void AddCounters(const HandlerCounts& from, HandlerCounts* to) {
  to->sms_sent += from.sms_sent;
  to->sms_attempts_failed += from.sms_attempts_failed;
  to->forwards += from.forwards;
  to->error_mails += from.error_mails;
  to->sms_failed_permanently += from.sms_failed_permanently;
  to->sms_given_up += from.sms_given_up;
  for (size_t i = 0; i < kReceiptStates.size(); ++i) to->receipts[i] += from.receipts[i];
}

}  // namespace

HandlerSupervisor::HandlerSupervisor(SupervisorEnvironment environment)
    : env_(std::move(environment)), alive_(std::make_shared<int>()) {
  env_.restart_timer.OnTick([this] { RestartTimer_Timer(); });
  env_.wake_timer.SetInterval(kWakeGap);
  env_.wake_timer.OnTick([this] { WakeTimer_Timer(); });
}

void HandlerSupervisor::Start() {
  ThrowIfFailed(env_.objects.CreateObject(kHandlerProgId, &handler_));
  Adopt();
}

void HandlerSupervisor::Adopt() {
  // Watched from its creation: an end before start-up is over is seen once the loop runs.
  handler_->OnClosed([this] { Ended(); });
  handler_->OnEvent(
      [this](const std::string& name, const std::vector<Variant>& args) { TakeEvent(name, args); });
  started_at_ = env_.clock.Now();
  env_.log("Started Vanequeue 1...");
  ThrowIfFailed(handler_->Call("AllocateId", {int64_t{1}}));
}

void HandlerSupervisor::Stop() {
  stopped_ = true;
  alive_.reset();        // a handler still starting is released as it comes
  supervising_ = false;  // a handler that StopProcess ends is not started again
  env_.restart_timer.SetEnabled(false);
  env_.wake_timer.SetEnabled(false);
  if (handler_) (void)handler_->Call("StopProcess", {});  // it ends either way: any failure ignored
  handler_.reset();
}

void HandlerSupervisor::Ended() {
  if (stopped_) return;  // Stop releases it
  handler_.reset();      // reaps the ended program
  // Its counters go on in the sum; the queue and the provider are as it last said until the next
  // handler reports.
  AddCounters(counts_, &ended_counts_);
  HandlerCounts kept;
  kept.queue_messages = counts_.queue_messages;
  kept.queue_oldest_seconds = counts_.queue_oldest_seconds;
  kept.provider_down = std::move(counts_.provider_down);
  counts_ = std::move(kept);
  if (!supervising_) return;  // after an abrupt end
  env_.log("Vanequeue 1 ended unexpectedly...restarting");
  if (env_.clock.Now() - started_at_ >= kHandlerSteadyLife) {
    next_restart_delay_ = kHandlerRestartFirstDelay;
  }
  ScheduleRestart();
}

void HandlerSupervisor::TakeEvent(const std::string& name, const std::vector<Variant>& args) {
  // Six values from every handler; the outcomes and the provider's state after them; then the
  // delivery receipts by state.
  if (name != "Counts" || (args.size() != 6 && args.size() != 10 && args.size() != 14)) return;
  int64_t numbers[5];
  for (size_t i = 0; i < 5; ++i) {
    const int64_t* number = std::get_if<int64_t>(&args[i]);
    if (number == nullptr || *number < 0) return;
    numbers[i] = *number;
  }
  double oldest = 0;
  if (const double* value = std::get_if<double>(&args[5])) {
    oldest = *value;
  } else if (const int64_t* whole = std::get_if<int64_t>(&args[5])) {
    oldest = static_cast<double>(*whole);
  } else {
    return;
  }
  HandlerCounts counts;
  counts.sms_sent = numbers[0];
  counts.sms_attempts_failed = numbers[1];
  counts.forwards = numbers[2];
  counts.error_mails = numbers[3];
  counts.queue_messages = numbers[4];
  counts.queue_oldest_seconds = oldest;
  if (args.size() >= 10) {
    const int64_t* permanently = std::get_if<int64_t>(&args[6]);
    const int64_t* given_up = std::get_if<int64_t>(&args[7]);
    const int64_t* up = std::get_if<int64_t>(&args[8]);
    const std::string* down = std::get_if<std::string>(&args[9]);
    if (!permanently || *permanently < 0 || !given_up || *given_up < 0 || !up || !down) return;
    counts.sms_failed_permanently = *permanently;
    counts.sms_given_up = *given_up;
    // A handler that says the provider is down without saying what is down still counts.
    if (*up == 0) counts.provider_down = down->empty() ? "the provider" : *down;
  }
  for (size_t i = 10; i < args.size(); ++i) {  // the receipts, by state
    const int64_t* number = std::get_if<int64_t>(&args[i]);
    if (number == nullptr || *number < 0) return;
    counts.receipts[i - 10] = *number;
  }
  counts_ = std::move(counts);
  counts_at_ = env_.clock.Now();
}

void HandlerSupervisor::AddMetrics(GatewayMetrics* m) const {
  m->handler_restarts = restarts_;
  m->handler_up = up();
  m->handler_restarting = supervising_ && !up();
  m->handler = counts_;
  AddCounters(ended_counts_, &m->handler);
  if (m->handler.queue_messages > 0) {  // the oldest has waited on since the report
    m->handler.queue_oldest_seconds +=
        std::max(0.0, std::chrono::duration<double>(env_.clock.Now() - counts_at_).count());
  }
}

void HandlerSupervisor::ScheduleRestart() {
  restart_due_ = env_.clock.Now() + next_restart_delay_;
  next_restart_delay_ = std::min(next_restart_delay_ * 2, kHandlerRestartLongestDelay);
  WaitForRestart();
}

void HandlerSupervisor::WaitForRestart() {
  // A timer interval holds at most 65535 ms: longer delays take several ticks.
  auto left = std::chrono::ceil<std::chrono::milliseconds>(restart_due_ - env_.clock.Now());
  env_.restart_timer.SetInterval(
      static_cast<uint16_t>(std::clamp<long long>(left.count(), 1, 65535)));
  env_.restart_timer.SetEnabled(true);
}

void HandlerSupervisor::RestartTimer_Timer() {
  if (!supervising_) {
    env_.restart_timer.SetEnabled(false);
    return;
  }
  const auto left = restart_due_ - env_.clock.Now();
  // Further off than any delay means the clock was set back: restart now rather than wait.
  if (left > TimePoint::duration::zero() && left <= kHandlerRestartLongestDelay) {
    WaitForRestart();
    return;
  }
  env_.restart_timer.SetEnabled(false);
  // The loop serves mail while the handler starts; it is taken up once it says it is ready.
  env_.objects.StartObject(kHandlerProgId,
                           [this, alive = std::weak_ptr<int>(alive_)](
                               CallResult result, std::unique_ptr<AutomationObject> handler) {
                             if (!alive.expired()) Restarted(std::move(result), std::move(handler));
                           });
}

void HandlerSupervisor::Restarted(CallResult result, std::unique_ptr<AutomationObject> handler) {
  try {
    ThrowIfFailed(result);
    handler_ = std::move(handler);
    Adopt();
    ++restarts_;
  } catch (const MailvaneError& error) {
    handler_.reset();  // a half-started handler ends when its connection closes
    env_.log("!!!Vanequeue 1 could not be restarted ([" + std::to_string(error.number()) + "] " +
             error.description() + ")...retrying in " +
             std::to_string(next_restart_delay_.count()) + " s");
    ScheduleRestart();
  }
}

void HandlerSupervisor::Wake() {
  wake_waiting_ = true;
  if (wake_posted_ || env_.wake_timer.Enabled()) return;  // the wake to come covers this file
  if (!env_.post) return SendWake();
  wake_posted_ = true;
  env_.post([this] {
    wake_posted_ = false;
    SendWake();
  });
}

void HandlerSupervisor::SendWake() {
  if (stopped_) return;  // a wake posted before the unload
  wake_waiting_ = false;
  env_.wake_timer.SetEnabled(true);  // the gap; enabled already when its end sends this wake
  // A handler that cannot take it now finds the file on its own scan.
  if (up()) (void)handler_->Post("Wake", {});
}

bool HandlerSupervisor::PostRetry(const std::string& spool_name, const std::string& recipient) {
  return up() && mailvane::PostRetry(*handler_, spool_name, recipient);
}

bool HandlerSupervisor::PostCancel(const std::string& spool_name, const std::string& recipient) {
  return up() && mailvane::PostCancel(*handler_, spool_name, recipient);
}

void HandlerSupervisor::WakeTimer_Timer() {
  if (wake_waiting_) return SendWake();
  env_.wake_timer.SetEnabled(false);
}

}  // namespace mailvane
