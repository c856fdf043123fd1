#include "server/mailvane_frm_svc.h"

#include <algorithm>
#include <cstdio>

#include "common/convert.h"
#include "common/error.h"
#include "common/error_mail.h"
#include "common/log.h"
#include "common/mail_settings.h"
#include "common/recipients.h"
#include "common/spool.h"
#include "platform/automation/automation.h"
#include "platform/files/file_system.h"
#include "platform/files/spool_writer.h"
#include "platform/loop/clock.h"
#include "platform/loop/event_loop.h"

namespace mailvane {
namespace {

void ThrowIfFailed(const CallResult& result) {
  if (result.error_number != 0) {
    throw MailvaneError(result.error_number, result.description, result.source);
  }
}

}  // namespace

MailvaneFrmSvc::MailvaneFrmSvc(ServerEnvironment environment)
    : env_(std::move(environment)), settings_(config_, allow_list_, env_.registry, *this) {
  env_.timer1.SetInterval(kHousekeepingInterval);
  env_.timer1.OnTick([this] { Timer1_Timer(); });
  env_.handler_timer.OnTick([this] { HandlerTimer_Timer(); });
  env_.wake_timer.SetInterval(kWakeGap);
  env_.wake_timer.OnTick([this] { WakeTimer_Timer(); });
  env_.service.SetEvents(this);
}

MailvaneFrmSvc::~MailvaneFrmSvc() { env_.service.SetEvents(nullptr); }

void MailvaneFrmSvc::Form_Load(const std::string& argument_text) {
  bool go_on = false;
  try {
    LoadPhase1(argument_text, &go_on);
  } catch (const MailvaneError& error) {
    ServiceError(error.number(), error.description());
    return;  // idle: the window stays, nothing else starts
  }
  if (go_on) LoadPhases2And3();
}

void MailvaneFrmSvc::LoadPhase1(const std::string& argument_text, bool* go_on) {
  ServiceControl& service = env_.service;
  if (argument_text == "-install") {
    service.SetInstallOption(true);
    const bool installed = service.Install();
    if (installed) {
      service.SaveSetting("Parameters", "TimerInterval", "65535");
    } else {
      service.LogEvent(kEventTypeError, kEventIdService, "[Failed to install]");
    }
    env_.end_program(installed ? 0 : 1);  // the exit status tells scripts what the log says
    return;
  }
  if (argument_text == "-uninstall") {
    const bool removed = service.Uninstall();
    if (!removed) service.LogEvent(kEventTypeError, kEventIdService, "[Failed to uninstall]");
    env_.end_program(removed ? 0 : 1);
    return;
  }
  if (argument_text == "-debug") {
    service.SetDebug(true);
  } else if (!argument_text.empty()) {
    service.LogEvent(kEventTypeError, kEventIdService, "[Invalid command option]");
    env_.end_program(2);
    return;
  }
  service.SetControlsAccepted(kServiceControlPauseContinue);
  if (std::error_code error = service.StartService()) {
    throw MailvaneError(kErrServerUnavailable,
                        "Cannot connect to the service manager: " + error.message());
  }
  *go_on = true;
}

void MailvaneFrmSvc::LoadPhases2And3() {
  try {
    ServerSettingsContext context{
        env_.registry, env_.files,     *this,          allow_list_,
        config_,       sweep_counter_, spool_counter_, env_.program_folder};
    RunSettingsStartup(context);
    if (std::string note = ApplyMailTls(env_.mail, config_); !note.empty()) AddToList(note);
    RemoveUnfinishedSpoolFiles();

    handlers_.clear();
    handlers_.resize(1);
    for (int index = 1; index <= 1; ++index) StartHandler(index);

    smtp1_ = env_.new_listener(*this);
    smtp1_->SetPort(ToInt16(config_.InternalPort));
    smtp1_->SetClosingText(kClosingText);
    smtp1_->SetGreetingText(kGreetingText);
    AddToList("Starting SMTP server on port " + config_.InternalPort);
    if (std::error_code error = smtp1_->Start()) {
      throw MailvaneError(SocketErrorNumber(error.value()),
                          "Cannot listen on port " + config_.InternalPort + ": " + error.message());
    }
    env_.timer1.SetEnabled(true);
    supervising_ = true;  // not after an abrupt end: that handler is left to end by itself
  } catch (const MailvaneError& error) {
    // The mail carries only the standard text, except for a stored setting the load could not
    // take, which it names (as the event log does); the full description goes to stderr (the
    // journal, or the terminal under -debug) for the administrator who looks.
    std::fprintf(stderr, "MailvaneSvc: start-up failed: [%d] %s\n", error.number(),
                 error.description().c_str());
    const bool setting = dynamic_cast<const SettingError*>(&error) != nullptr;
    if (setting) ServiceError(error.number(), error.description());
    ++error_mails_;
    SendErrorMail(
        env_.mail, env_.clock, config_.MailServer,
        {"Mailvane Error 1", setting ? error.description() : StandardMessageText(error.number()),
         config_.ErrorMailAddress, config_.ErrorMailName, "Mailvane", config_.MailFromAddress},
        [this](const std::string& failure) { RecordMailFailure(failure); });
    // At once: the handler is not told, it ends when we are gone. The status keeps the unit
    // from starting us again, and mailing again, on a fault that only the administrator mends.
    env_.end_program(kExitConfigFailure);
  }
}

void MailvaneFrmSvc::StartHandler(int index) {
  std::unique_ptr<AutomationObject>& handler = handlers_[index - 1];
  ThrowIfFailed(env_.objects.CreateObject(kHandlerProgId, &handler));
  // Watched from its creation: an end before start-up is over is seen once the loop runs.
  handler->OnClosed([this, index] { HandlerEnded(index); });
  handler->OnEvent([this](const std::string& name, const std::vector<Variant>& args) {
    HandlerEvent(name, args);
  });
  handler_started_at_ = env_.clock.Now();
  AddToList("Started Vanequeue " + std::to_string(index) + "...");
  ThrowIfFailed(handler->Call("AllocateId", {int64_t{index}}));
}

void MailvaneFrmSvc::HandlerEnded(int index) {
  if (unloaded_) return;         // the unload releases it
  handlers_[index - 1].reset();  // reaps the ended program
  // Its counters go on in the sum; the queue is as it last said until the next handler reports.
  ended_handlers_.sms_sent += handler_counts_.sms_sent;
  ended_handlers_.sms_attempts_failed += handler_counts_.sms_attempts_failed;
  ended_handlers_.forwards += handler_counts_.forwards;
  ended_handlers_.error_mails += handler_counts_.error_mails;
  ended_handlers_.sms_failed_permanently += handler_counts_.sms_failed_permanently;
  ended_handlers_.sms_given_up += handler_counts_.sms_given_up;
  for (size_t i = 0; i < kReceiptStates.size(); ++i)
    ended_handlers_.receipts[i] += handler_counts_.receipts[i];
  HandlerCounts kept;  // the queue and the provider: as last said until the next report
  kept.queue_messages = handler_counts_.queue_messages;
  kept.queue_oldest_seconds = handler_counts_.queue_oldest_seconds;
  kept.provider_down = std::move(handler_counts_.provider_down);
  handler_counts_ = std::move(kept);
  if (!supervising_) return;  // after an abrupt end
  AddToList("Vanequeue " + std::to_string(index) + " ended unexpectedly...restarting");
  if (env_.clock.Now() - handler_started_at_ >= kHandlerSteadyLife) {
    next_restart_delay_ = kHandlerRestartFirstDelay;
  }
  ScheduleHandlerRestart();
}

void MailvaneFrmSvc::HandlerEvent(const std::string& name, const std::vector<Variant>& args) {
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
  handler_counts_ = std::move(counts);
  handler_counts_at_ = env_.clock.Now();
}

GatewayMetrics MailvaneFrmSvc::metrics() const {
  GatewayMetrics m;
  m.mails_received = mails_received_;
  m.refused = refused_;
  m.error_mails = error_mails_;
  m.handler_restarts = handler_restarts_;
  m.handler_up = handler_up();
  m.handler_restarting = supervising_ && !m.handler_up;
  m.listening = listening();
  m.handler = handler_counts_;
  m.handler.sms_sent += ended_handlers_.sms_sent;
  m.handler.sms_attempts_failed += ended_handlers_.sms_attempts_failed;
  m.handler.forwards += ended_handlers_.forwards;
  m.handler.error_mails += ended_handlers_.error_mails;
  m.handler.sms_failed_permanently += ended_handlers_.sms_failed_permanently;
  m.handler.sms_given_up += ended_handlers_.sms_given_up;
  for (size_t i = 0; i < kReceiptStates.size(); ++i)
    m.handler.receipts[i] += ended_handlers_.receipts[i];
  if (m.handler.queue_messages > 0) {  // the oldest has waited on since the report
    m.handler.queue_oldest_seconds +=
        std::max(0.0, std::chrono::duration<double>(env_.clock.Now() - handler_counts_at_).count());
  }
  return m;
}

void MailvaneFrmSvc::ScheduleHandlerRestart() {
  restart_due_ = env_.clock.Now() + next_restart_delay_;
  next_restart_delay_ = std::min(next_restart_delay_ * 2, kHandlerRestartLongestDelay);
  WaitForHandlerRestart();
}

void MailvaneFrmSvc::WaitForHandlerRestart() {
  // A timer interval holds at most 65535 ms: longer delays take several ticks.
  auto left = std::chrono::ceil<std::chrono::milliseconds>(restart_due_ - env_.clock.Now());
  env_.handler_timer.SetInterval(
      static_cast<uint16_t>(std::clamp<long long>(left.count(), 1, 65535)));
  env_.handler_timer.SetEnabled(true);
}

void MailvaneFrmSvc::HandlerTimer_Timer() {
  if (!supervising_) {
    env_.handler_timer.SetEnabled(false);
    return;
  }
  const auto left = restart_due_ - env_.clock.Now();
  // Further off than any delay means the clock was set back: restart now rather than wait.
  if (left > TimePoint::duration::zero() && left <= kHandlerRestartLongestDelay) {
    WaitForHandlerRestart();
    return;
  }
  env_.handler_timer.SetEnabled(false);
  try {
    StartHandler(1);
    ++handler_restarts_;
  } catch (const MailvaneError& error) {
    handlers_[0].reset();  // a half-started handler ends when its connection closes
    AddToList("!!!Vanequeue 1 could not be restarted ([" + std::to_string(error.number()) + "] " +
              error.description() + ")...retrying in " +
              std::to_string(next_restart_delay_.count()) + " s");
    ScheduleHandlerRestart();
  }
}

void MailvaneFrmSvc::RemoveUnfinishedSpoolFiles() {
  // Files a crashed run was still writing: never acknowledged, so their clients still hold the
  // mails. Envelope records whose spool file is gone are left by a write that failed half-way or
  // by a handler that ended between deleting the two. Nothing else writes such names while this
  // server has not started listening, and a handler removes an envelope record only after its
  // spool file, as this does.
  const std::string folder = SpoolFolder(config_.LogDir);
  std::vector<FileInfo> files;
  if (env_.files.ListFiles(folder, &files)) return;
  std::set<std::string_view> listed;
  listed_counter_ = 0;
  for (const FileInfo& file : files) {
    listed.insert(file.name);
    listed_counter_ = std::max(listed_counter_, SpoolCounterOf(file.name));
  }
  for (const FileInfo& file : files) {
    std::string_view spool = SpoolNameOfEnvelopeRecord(file.name);
    if (IsServerTempName(file.name) || (!spool.empty() && listed.count(spool) == 0)) {
      env_.files.DeleteFile(folder + "/" + file.name);
    }
  }
}

void MailvaneFrmSvc::Form_Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  supervising_ = false;  // a handler that StopProcess ends is not started again
  env_.timer1.SetEnabled(false);
  env_.handler_timer.SetEnabled(false);
  env_.wake_timer.SetEnabled(false);
  if (smtp1_) smtp1_->Stop();
  smtp1_.reset();
  for (std::unique_ptr<AutomationObject>& handler : handlers_) {
    if (handler) handler->Call("StopProcess", {});  // any failure is ignored
    handler.reset();
  }
}

void MailvaneFrmSvc::Stop() {
  Form_Unload();
  env_.end_program(0);
}

void MailvaneFrmSvc::ServiceError(int number, const std::string& description) {
  env_.service.LogEvent(kEventTypeError, kEventIdService,
                        "[" + std::to_string(number) + "] " + description);
}

void MailvaneFrmSvc::AddToList(const std::string& text) {
  const LocalDateTime now = env_.clock.LocalNow();
  std::string line = PadTwo(now.day) + "/" + PadTwo(now.month) + " " + PadTwo(now.hour) + ":" +
                     PadTwo(now.minute) + ":" + PadTwo(now.second) + " " + text;
  if (env_.echo_line) env_.echo_line(line);
  window_.AddLine(std::move(line));
  try {
    WriteLog(env_.files, env_.clock, config_.LogDir, text, 1);
  } catch (const MailvaneError& error) {
    // The log is unavailable; the line stays in the list and the failure goes to stderr, which
    // the journal keeps. Nothing here may end the server.
    std::fprintf(stderr, "MailvaneSvc: cannot write the log: [%d] %s\n", error.number(),
                 error.description().c_str());
  }
}

void MailvaneFrmSvc::RecordMailFailure(const std::string& failure) {
  AddToList(failure);
  try {
    WriteLog(env_.files, env_.clock, config_.LogDir, failure, 1);
  } catch (const MailvaneError&) {
    // already reported by AddToList
  }
}

void MailvaneFrmSvc::Timer1_Timer() {
  try {
    PurgeOldLogs(env_.files, env_.clock, config_.LogDir, config_.LogDays, &sweep_counter_);
  } catch (const MailvaneError& error) {
    ServiceError(error.number(), error.description());
  }
}

bool MailvaneFrmSvc::Connecting(const SmtpClient& client) {
  if (allow_list_.IsIPAllowed(client.ip_address) == 0) {
    AddToList("Illegal IP " + client.ip_address + " rejected...");
    CountRefusal(RefusedReason::kNotAllowed);
    return false;
  }
  return true;
}

void MailvaneFrmSvc::MailReceived(const SmtpClient& client, const SmtpMessage& message,
                                  std::function<void(SmtpReply)> done) {
  ++mails_received_;
  AddToList("+++Received from " + client.ip_address + " to " + message.recipient_text + "..." +
            std::to_string(message.byte_count) + " bytes");
  std::string data = message.text + "\r\n";
  // Where To and Cc plainly name every envelope recipient, the handler serves the same recipients
  // without the envelope record, and the mail costs one durable file instead of two.
  std::vector<SpoolFile> files;
  if (!HeadersNameEveryRecipient(data, message.recipients))
    files.push_back({"", "", EnvelopeRecordText(message.recipients)});
  files.push_back({"", "", std::move(data)});
  WriteSpoolFile(SpoolFolder(config_.LogDir), std::move(files), std::move(done), 1);
}

void MailvaneFrmSvc::Refused(const SmtpClient& client, const std::string& reply) {
  AddToList("!!!Refused from " + client.ip_address + ": " + reply);
  CountRefusal(ClassifyRefusal(reply));
}

std::string MailvaneFrmSvc::NextSpoolName() {
  const LocalDateTime now = env_.clock.LocalNow();
  std::string name;
  do {
    ++spool_counter_;
    name = SpoolFileName(now, spool_counter_);
  } while (spooling_.count(name) > 0);
  return name;
}

void MailvaneFrmSvc::WriteSpoolFile(const std::string& folder, std::vector<SpoolFile> files,
                                    std::function<void(SmtpReply)> done, int attempt) {
  const std::string name = NextSpoolName();
  spooling_.insert(name);
  // The envelope record is put in place before the spool file, so a handler that sees the spool
  // file sees its record too. Records that a mail of an earlier run left under the name would be
  // taken for this one's: up to the highest counter the folder held at start-up, the name must
  // not carry any. This run's own names differ by their counters.
  const bool with_record = files.size() == 2;
  std::vector<std::string> absent;
  if (spool_counter_ <= listed_counter_) {
    absent.push_back(ServedRecordName(name));
    if (!with_record) absent.push_back(EnvelopeRecordName(name));
  }
  if (with_record) {
    const std::string record = EnvelopeRecordName(name);
    files.front().temp_name = SpoolTempName(record);
    files.front().final_name = record;
  }
  files.back().temp_name = SpoolTempName(name);
  files.back().final_name = name;
  env_.spool_writer.Write(
      folder, std::move(files), std::move(absent),
      [this, folder, name, attempt, done = std::move(done)](std::error_code error,
                                                            std::vector<SpoolFile> taken) mutable {
        spooling_.erase(name);
        // A name found taken: the next counter's, a bounded number of times.
        if (!taken.empty() && attempt < kSpoolNameAttempts)
          return WriteSpoolFile(folder, std::move(taken), std::move(done), attempt + 1);
        if (error) {
          // The client keeps the mail and tries again later; nothing was acknowledged.
          AddToList("!!!Cannot write spool file " + folder + "/" + name + ": " + error.message());
          CountRefusal(RefusedReason::kSpoolWrite);
          done({451, "4.3.0 Requested action aborted: local error in processing"});
          return;
        }
        done({250, "2.0.0 Ok: queued as " + name});
        WakeHandler();
      });
}

void MailvaneFrmSvc::WakeHandler() {
  wake_waiting_ = true;
  if (wake_posted_ || env_.wake_timer.Enabled()) return;  // the wake to come covers this file
  if (!env_.post) return SendWake();
  wake_posted_ = true;
  env_.post([this] {
    wake_posted_ = false;
    SendWake();
  });
}

void MailvaneFrmSvc::SendWake() {
  if (unloaded_) return;  // a wake posted before the unload
  wake_waiting_ = false;
  env_.wake_timer.SetEnabled(true);  // the gap; enabled already when its end sends this wake
  // A handler that cannot take it now finds the file on its own scan.
  if (handler_up()) handlers_[0]->Post("Wake", {});
}

void MailvaneFrmSvc::WakeTimer_Timer() {
  if (wake_waiting_) return SendWake();
  env_.wake_timer.SetEnabled(false);
}

}  // namespace mailvane
