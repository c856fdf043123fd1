// The server's service window: the whole start-up in Form_Load, the answers to the service
// manager, the SMTP listener's two events with admission and spooling, the activity list, the
// housekeeping timer, the restart of a handler that ended, and the orderly shutdown in
// Form_Unload. It owns the server's process-wide state (configuration record, allow-list,
// counters, handler table). Loop thread only.
#ifndef MAILVANE_SERVER_MAILVANE_FRM_SVC_H_
#define MAILVANE_SERVER_MAILVANE_FRM_SVC_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/allow_list.h"
#include "common/config.h"
#include "platform/automation/automation.h"
#include "platform/files/spool_writer.h"
#include "platform/loop/clock.h"
#include "platform/service/service_control.h"
#include "platform/smtp/smtp_server.h"
#include "server/gateway_metrics.h"
#include "server/settings_frm.h"
#include "server/window_state.h"

namespace mailvane {

class AutomationObject;
class Clock;
class EventLoop;
class FileSystem;
class MailFactory;
class ObjectFactory;
class Registry;
class Timer;

inline constexpr char kHandlerProgId[] = "Vanequeue.VanequeueCls";
inline constexpr char kGreetingText[] = "Hi, from the Mailvane";
inline constexpr char kClosingText[] = "Bye from the Mailvane";
inline constexpr uint16_t kHousekeepingInterval = 65535;
// Milliseconds after a wake of the handler within which newly spooled mails wait for the next.
inline constexpr uint16_t kWakeGap = 5;
// Spool names tried for one mail before it is refused with a 451: a folder that holds this many
// in a row is not one to write into.
inline constexpr int kSpoolNameAttempts = 100;
inline constexpr int16_t kEventTypeError = 1;
inline constexpr int32_t kEventIdService = 109;
// A handler that ends is started again after a delay that doubles from the first to the longest,
// so one that dies at once cannot mail the administrator in a loop; it is back to the first once
// the handler that ended had lived kHandlerSteadyLife.
inline constexpr std::chrono::seconds kHandlerRestartFirstDelay{1};
inline constexpr std::chrono::seconds kHandlerRestartLongestDelay{300};
inline constexpr std::chrono::seconds kHandlerSteadyLife{600};

struct ServerEnvironment {
  Registry& registry;
  FileSystem& files;
  const Clock& clock;
  MailFactory& mail;
  ServiceControl& service;
  ObjectFactory& objects;
  SpoolWriter& spool_writer;
  Timer& timer1;
  // Waits out the delay before a handler is started again.
  Timer& handler_timer;
  // The gap after a wake of the handler, within which newly spooled mails share the next wake.
  Timer& wake_timer;
  // Creates the listener object smtp1, whose events go to the given receiver.
  std::function<std::unique_ptr<SmtpServer>(SmtpEvents&)> new_listener;
  std::string program_folder;
  // Ends the program at once with the exit code (no shutdown steps run).
  std::function<void(int)> end_program;
  // Receives every activity line as shown (the debug mode prints it).
  std::function<void(const std::string&)> echo_line;
  // Runs a function on the loop after the handlers already queued; the handler's wake goes
  // through it, so that mails spooled together wake it once. Without it every mail wakes it.
  std::function<void(std::function<void()>)> post = nullptr;
};

class MailvaneFrmSvc final : public MainWindow, public SmtpEvents, public ServiceEvents {
 public:
  explicit MailvaneFrmSvc(ServerEnvironment environment);
  ~MailvaneFrmSvc() override;

  // The load step: command line and service connection, configuration, handler, listener and
  // housekeeping, with the error handling of each phase.
  void Form_Load(const std::string& argument_text);
  // The unload step: listener stopped and released, the handler told to stop and released.
  // Every step runs; no failure is reported.
  void Form_Unload();

  // MainWindow.
  void SetCaption(const std::string& caption) override { window_.SetCaption(caption); }
  void SetLabel1(const std::string& text) override { window_.SetLabel1(text); }
  void AddToList(const std::string& text) override;

  // SmtpEvents.
  bool Connecting(const SmtpClient& client) override;
  void MailReceived(const SmtpClient& client, const SmtpMessage& message,
                    std::function<void(SmtpReply)> done) override;
  // "!!!Refused from <address>: <reply>" in the activity list.
  void Refused(const SmtpClient& client, const std::string& reply) override;

  // ServiceEvents.
  void Start(bool* success) override { *success = true; }
  void Pause(bool* success) override { *success = true; }
  void Continue(bool* success) override { *success = true; }
  void Stop() override;
  void Control(int32_t) override {}

  void Timer1_Timer();
  // The Settings button: shows the one settings dialog, loading it when it is not open. The
  // window and the listener go on working while it is open.
  const SettingsValues& Command1_Click() { return settings_.Show(); }

  WindowState& window() { return window_; }
  MailvaneSettingsFrm& settings() { return settings_; }
  ConfigRecord& config() { return config_; }
  AllowList& allow_list() { return allow_list_; }
  long long spool_counter() const { return spool_counter_; }
  bool listening() const { return smtp1_ != nullptr; }
  // Handlers started again after one ended (those whose creation or AllocateId failed not
  // counted), and whether a handler is in the table now.
  int handler_restarts() const { return handler_restarts_; }
  bool handler_up() const { return !handlers_.empty() && handlers_[0] != nullptr; }
  // The counters and gauges as now: the server's own, and the handlers' from their "Counts"
  // events (sms sent, sms failed, forwards, error mails, queue messages, oldest queued seconds),
  // summed over every handler this server started.
  GatewayMetrics metrics() const;
  // An administrator's retry or cancel of a queued message (its spool name; recipient as
  // written, empty for all), posted to the handler. False when no handler runs or the post was
  // dropped; the handler logs what it did.
  bool RetryMessage(const std::string& spool_name, const std::string& recipient) {
    return handler_up() && PostRetry(*handlers_[0], spool_name, recipient);
  }
  bool CancelMessage(const std::string& spool_name, const std::string& recipient) {
    return handler_up() && PostCancel(*handlers_[0], spool_name, recipient);
  }

 private:
  void LoadPhase1(const std::string& argument_text, bool* go_on);
  void LoadPhases2And3();
  void ServiceError(int number, const std::string& description);
  void StartHandler(int index);  // creation, "Started Vanequeue" line, AllocateId; throws
  void HandlerEnded(int index);
  void HandlerEvent(const std::string& name, const std::vector<Variant>& args);
  void CountRefusal(RefusedReason reason) { ++refused_[static_cast<size_t>(reason)]; }
  void ScheduleHandlerRestart();
  void WaitForHandlerRestart();
  void HandlerTimer_Timer();
  void RemoveUnfinishedSpoolFiles();
  void RecordMailFailure(const std::string& failure);
  // files: the envelope record, when there is one, then the spool file, unnamed. Both go in one
  // durable write under the next free name; done gets 250 only when both are in place, else a
  // 451 and neither is left behind. A name the folder holds already, as a file or as a record an
  // earlier run left, is passed over for the next counter's, up to kSpoolNameAttempts names.
  // After a 250 the handler is woken.
  void WriteSpoolFile(const std::string& folder, std::vector<SpoolFile> files,
                      std::function<void(SmtpReply)> done, int attempt);
  // The next counter's name that is not being written; whether the folder holds it, the spool
  // writer finds, off the loop.
  std::string NextSpoolName();
  // Wakes the handler for a newly spooled file: at once (after this turn of the loop, so that the
  // files spooled in it share the wake) unless a wake went within the last kWakeGap, whose end
  // then brings the next. A mail that comes alone wakes the handler without delay; under load it
  // is woken at most once a gap, not for every mail.
  void WakeHandler();
  void SendWake();
  void WakeTimer_Timer();

  ServerEnvironment env_;
  WindowState window_;
  ConfigRecord config_;
  AllowList allow_list_;
  int sweep_counter_ = 1;
  long long spool_counter_ = 0;
  // The highest spool counter among the names the spool folder held at start-up (all of them
  // when it could not be listed): only names up to it can find records an earlier run left.
  long long listed_counter_ = std::numeric_limits<long long>::max();
  std::vector<std::unique_ptr<AutomationObject>> handlers_;  // the handler table, index 1 at 0
  // The table holds one handler, so one set of restart state serves it.
  bool supervising_ = false;  // from the end of start-up until the unload: restarts allowed
  TimePoint handler_started_at_{};
  std::chrono::seconds next_restart_delay_ = kHandlerRestartFirstDelay;
  TimePoint restart_due_{};
  int handler_restarts_ = 0;
  int64_t mails_received_ = 0;
  std::array<int64_t, kRefusedReasons> refused_{};
  int64_t error_mails_ = 0;
  HandlerCounts ended_handlers_;  // the counters of the handlers that ended, summed
  HandlerCounts handler_counts_;  // the running handler's last report
  TimePoint handler_counts_at_{};
  std::unique_ptr<SmtpServer> smtp1_;
  std::set<std::string> spooling_;  // names of spool files being written
  bool wake_posted_ = false;        // a wake of the handler waits on the loop
  bool wake_waiting_ = false;       // files spooled since the last wake
  bool unloaded_ = false;
  MailvaneSettingsFrm settings_;
};

}  // namespace mailvane

#endif  // MAILVANE_SERVER_MAILVANE_FRM_SVC_H_
