#include "server/mailvane_frm_svc.h"

#include <cstdio>

#include "common/convert.h"
#include "common/error.h"
#include "common/error_mail.h"
#include "common/log.h"
#include "common/mail_settings.h"
#include "common/spool.h"
#include "platform/files/file_system.h"
#include "platform/files/spool_writer.h"
#include "platform/loop/clock.h"
#include "platform/loop/event_loop.h"

namespace mailvane {

MailvaneFrmSvc::MailvaneFrmSvc(ServerEnvironment environment)
    : env_(std::move(environment)),
      intake_(env_.files, env_.clock, env_.spool_writer,
              [this](const std::string& line) { AddToList(line); }),
      supervisor_({env_.objects, env_.clock, env_.handler_timer, env_.wake_timer, env_.post,
                   [this](const std::string& line) { AddToList(line); }}),
      settings_(config_, allow_list_, env_.registry, *this) {
  env_.timer1.SetInterval(kHousekeepingInterval);
  env_.timer1.OnTick([this] { Timer1_Timer(); });
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
    LoadConfiguration();
    supervisor_.Start();
    StartListener();
    env_.timer1.SetEnabled(true);
    supervisor_.Supervise();  // not after an abrupt end: that handler is left to end by itself
  } catch (const MailvaneError& error) {
    StartupFailed(error);
  }
}

void MailvaneFrmSvc::LoadConfiguration() {
  ServerSettingsContext context{
      env_.registry,     env_.files,         *this, allow_list_, config_, sweep_counter_,
      intake_.counter(), env_.program_folder};
  RunSettingsStartup(context);
  if (std::string note = ApplyMailTls(env_.mail, config_); !note.empty()) AddToList(note);
  intake_.RemoveLeftovers(SpoolFolder(config_.LogDir));
}

void MailvaneFrmSvc::StartListener() {
  smtp1_ = env_.new_listener(*this);
  smtp1_->SetPort(ToInt16(config_.InternalPort));
  smtp1_->SetClosingText(kClosingText);
  smtp1_->SetGreetingText(kGreetingText);
  AddToList("Starting SMTP server on port " + config_.InternalPort);
  if (std::error_code error = smtp1_->Start()) {
    throw MailvaneError(SocketErrorNumber(error.value()),
                        "Cannot listen on port " + config_.InternalPort + ": " + error.message());
  }
}

void MailvaneFrmSvc::StartupFailed(const MailvaneError& error) {
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

GatewayMetrics MailvaneFrmSvc::metrics() const {
  GatewayMetrics m;
  m.mails_received = mails_received_;
  m.refused = refused_;
  m.error_mails = error_mails_;
  m.listening = listening();
  supervisor_.AddMetrics(&m);
  return m;
}

void MailvaneFrmSvc::Form_Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  env_.timer1.SetEnabled(false);
  if (smtp1_) smtp1_->Stop();
  smtp1_.reset();
  supervisor_.Stop();
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
  intake_.Spool(SpoolFolder(config_.LogDir), message,
                [this, done = std::move(done)](SmtpReply reply) {
                  const bool spooled = reply.code == 250;
                  if (!spooled) CountRefusal(RefusedReason::kSpoolWrite);
                  done(std::move(reply));
                  if (spooled) supervisor_.Wake();
                });
}

void MailvaneFrmSvc::Refused(const SmtpClient& client, const std::string& reply) {
  AddToList("!!!Refused from " + client.ip_address + ": " + reply);
  CountRefusal(ClassifyRefusal(reply));
}

}  // namespace mailvane
