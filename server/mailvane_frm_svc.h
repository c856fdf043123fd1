// The server's service window: the whole start-up in Form_Load, the answers to the service
// manager, the SMTP listener's events (admission here, the mail handed to the SpoolIntake and
// the handler woken through the HandlerSupervisor), the activity list, the housekeeping timer and
// the orderly shutdown in Form_Unload. It owns the server's process-wide state (configuration
// record, allow-list, the server's counters) and composes the parts that keep the rest. Loop
// thread only.
#ifndef MAILVANE_SERVER_MAILVANE_FRM_SVC_H_
#define MAILVANE_SERVER_MAILVANE_FRM_SVC_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "common/allow_list.h"
#include "common/config.h"
#include "common/error.h"
#include "platform/automation/automation.h"
#include "platform/files/spool_writer.h"
#include "platform/loop/clock.h"
#include "platform/service/service_control.h"
#include "platform/smtp/smtp_server.h"
#include "server/gateway_metrics.h"
#include "server/handler_supervisor.h"
#include "server/settings_frm.h"
#include "server/spool_intake.h"
#include "server/window_state.h"

namespace mailvane {

class Clock;
class EventLoop;
class FileSystem;
class MailFactory;
class ObjectFactory;
class Registry;
class Timer;

inline constexpr char kGreetingText[] = "Hi, from the Mailvane";
inline constexpr char kClosingText[] = "Bye from the Mailvane";
inline constexpr uint16_t kHousekeepingInterval = 65535;
inline constexpr int16_t kEventTypeError = 1;
inline constexpr int32_t kEventIdService = 109;

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
  long long spool_counter() { return intake_.counter(); }
  bool listening() const { return smtp1_ != nullptr; }
  // Handlers started again after one ended (those whose creation or AllocateId failed not
  // counted), and whether a handler is in the table now.
  int handler_restarts() const { return supervisor_.restarts(); }
  bool handler_up() const { return supervisor_.up(); }
  // The counters and gauges as now: the server's own, and the handlers' from their "Counts"
  // events (sms sent, sms failed, forwards, error mails, queue messages, oldest queued seconds),
  // summed over every handler this server started.
  GatewayMetrics metrics() const;
  // An administrator's retry or cancel of a queued message (its spool name; recipient as
  // written, empty for all), posted to the handler. False when no handler runs or the post was
  // dropped; the handler logs what it did.
  bool RetryMessage(const std::string& spool_name, const std::string& recipient) {
    return supervisor_.PostRetry(spool_name, recipient);
  }
  bool CancelMessage(const std::string& spool_name, const std::string& recipient) {
    return supervisor_.PostCancel(spool_name, recipient);
  }

 private:
  void LoadPhase1(const std::string& argument_text, bool* go_on);
  void LoadPhases2And3();
  // Phase 2: the configuration (loaded, or first-run defaults), the mail's TLS, the spool's
  // leftovers. Phase 3: the listener smtp1, started. Both throw.
  void LoadConfiguration();
  void StartListener();
  // The end of a start-up that failed from phase 2 on: the error mail, then the program ends.
  void StartupFailed(const MailvaneError& error);
  void ServiceError(int number, const std::string& description);
  void CountRefusal(RefusedReason reason) { ++refused_[static_cast<size_t>(reason)]; }
  void RecordMailFailure(const std::string& failure);

  ServerEnvironment env_;
  WindowState window_;
  ConfigRecord config_;
  AllowList allow_list_;
  int sweep_counter_ = 1;
  int64_t mails_received_ = 0;
  std::array<int64_t, kRefusedReasons> refused_{};
  int64_t error_mails_ = 0;
  std::unique_ptr<SmtpServer> smtp1_;
  bool unloaded_ = false;
  SpoolIntake intake_;
  HandlerSupervisor supervisor_;
  MailvaneSettingsFrm settings_;
};

}  // namespace mailvane

#endif  // MAILVANE_SERVER_MAILVANE_FRM_SVC_H_
