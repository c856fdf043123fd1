// The queue handler as the server keeps it: started by its programmatic identifier and given
// its id, started again after a delay when it ends, woken when a mail is spooled, its reported
// counts kept and summed over every handler this server started, and told to stop at the unload.
// A restart never waits on the loop for the handler to be ready.
// The table holds one handler (index 1). Loop thread only.
#ifndef MAILVANE_SERVER_HANDLER_SUPERVISOR_H_
#define MAILVANE_SERVER_HANDLER_SUPERVISOR_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/automation/automation.h"
#include "platform/loop/clock.h"
#include "server/gateway_metrics.h"

namespace mailvane {

class Timer;

inline constexpr char kHandlerProgId[] = "Vanequeue.VanequeueCls";
// Milliseconds after a wake of the handler within which newly spooled mails wait for the next.
inline constexpr uint16_t kWakeGap = 5;
// A handler that ends is started again after a delay that doubles from the first to the longest,
// so one that dies at once cannot mail the administrator in a loop; it is back to the first once
// the handler that ended had lived kHandlerSteadyLife.
inline constexpr std::chrono::seconds kHandlerRestartFirstDelay{1};
inline constexpr std::chrono::seconds kHandlerRestartLongestDelay{300};
inline constexpr std::chrono::seconds kHandlerSteadyLife{600};

struct SupervisorEnvironment {
  ObjectFactory& objects;
  const Clock& clock;
  // Waits out the delay before a handler is started again.
  Timer& restart_timer;
  // The gap after a wake, within which newly spooled mails share the next wake.
  Timer& wake_timer;
  // Runs a function on the loop after the handlers already queued (see ServerEnvironment::post).
  std::function<void(std::function<void()>)> post;
  // The activity list and the log.
  std::function<void(const std::string&)> log;
};

class HandlerSupervisor {
 public:
  explicit HandlerSupervisor(SupervisorEnvironment environment);
  HandlerSupervisor(const HandlerSupervisor&) = delete;
  HandlerSupervisor& operator=(const HandlerSupervisor&) = delete;

  // Creates the handler, logs "Started Vanequeue 1..." and calls AllocateId; throws the
  // MailvaneError of a creation or call that failed.
  void Start();
  // From the end of the server's start-up: a handler that ends is started again.
  void Supervise() { supervising_ = true; }
  // The unload: no more restarts or wakes; the handler is told to stop (any failure ignored)
  // and released.
  void Stop();

  // Wakes the handler for a newly spooled file: at once (after this turn of the loop, so that the
  // files spooled in it share the wake) unless a wake went within the last kWakeGap, whose end
  // then brings the next. A mail that comes alone wakes the handler without delay; under load it
  // is woken at most once a gap, not for every mail.
  void Wake();

  // Handlers started again after one ended (those whose creation or AllocateId failed not
  // counted), and whether a handler is in the table now.
  int restarts() const { return restarts_; }
  bool up() const { return handler_ != nullptr; }
  // An administrator's retry or cancel of a message (an empty recipient: the whole message),
  // posted to the handler; false when there is no handler to take it.
  bool PostRetry(const std::string& spool_name, const std::string& recipient);
  bool PostCancel(const std::string& spool_name, const std::string& recipient);
  // The handler's part of the metrics: restarts, up, restarting, and the counts summed over every
  // handler this server started, the oldest queued message's wait brought up to now.
  void AddMetrics(GatewayMetrics* metrics) const;

 private:
  // Takes up a handler created now: watches its end and its events, then gives it its id.
  void Adopt();
  void Restarted(CallResult result, std::unique_ptr<AutomationObject> handler);
  void Ended();
  void TakeEvent(const std::string& name, const std::vector<Variant>& args);
  void ScheduleRestart();
  void WaitForRestart();
  void RestartTimer_Timer();
  void SendWake();
  void WakeTimer_Timer();

  SupervisorEnvironment env_;
  std::unique_ptr<AutomationObject> handler_;
  bool supervising_ = false;
  bool stopped_ = false;
  TimePoint started_at_{};
  std::chrono::seconds next_restart_delay_ = kHandlerRestartFirstDelay;
  TimePoint restart_due_{};
  int restarts_ = 0;
  HandlerCounts ended_counts_;  // the counters of the handlers that ended, summed
  HandlerCounts counts_;        // the running handler's last report
  TimePoint counts_at_{};
  bool wake_posted_ = false;    // a wake of the handler waits on the loop
  bool wake_waiting_ = false;   // files spooled since the last wake
  std::shared_ptr<int> alive_;  // a restart's start finds it gone after the unload
};

}  // namespace mailvane

#endif  // MAILVANE_SERVER_HANDLER_SUPERVISOR_H_
