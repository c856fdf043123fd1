#include "handler/vanequeue_cls.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>

#include "common/convert.h"
#include "common/error.h"
#include "common/error_mail.h"
#include "common/log.h"
#include "common/mail_settings.h"
#include "common/recipients.h"
#include "common/spool.h"
#include "common/spool_queue.h"
#include "platform/files/file_lock.h"
#include "platform/files/file_system.h"
#include "platform/loop/event_loop.h"

namespace mailvane {
namespace {

// The id as the log and the subjects show it: whole numbers without a fraction.
std::string VariantText(const Variant& id, bool* minus_one) {
  *minus_one = false;
  if (const auto* i = std::get_if<int64_t>(&id)) {
    *minus_one = *i == -1;
    return std::to_string(*i);
  }
  if (const auto* d = std::get_if<double>(&id)) {
    *minus_one = *d == -1.0;
    if (std::floor(*d) == *d && std::fabs(*d) < 1e15) {
      return std::to_string(static_cast<long long>(*d));
    }
    return std::to_string(*d);
  }
  if (const auto* s = std::get_if<std::string>(&id)) {
    *minus_one = *s == "-1";
    return *s;
  }
  if (const auto* b = std::get_if<bool>(&id)) return *b ? "True" : "False";
  return "";
}

}  // namespace

VanequeueCls::VanequeueCls(HandlerEnvironment environment)
    : env_(std::move(environment)), outage_(env_.clock, env_.provider) {
  env_.timer1.SetInterval(kProcessInterval);
  env_.timer2.SetInterval(kScanInterval);
  env_.timer1.OnTick([this] { Timer1_Timer(); });
  env_.timer2.OnTick([this] { Timer2_Timer(); });
  bool loaded = true;
  try {
    LoadHandlerSettings(env_.registry, env_.files, env_.program_folder, &config_);
  } catch (const std::exception&) {
    loaded = false;
  }
  // Before any mail goes out, the error mail of a failed load included.
  const std::string tls_note = ApplyMailTls(env_.mail, config_);
  if (!loaded) {
    MailError("Vanequeue " + handler_id_ + " Initialise Error",
              "Vanequeue " + handler_id_ + " initialise error...aborting...");
  }
  if (!tls_note.empty()) WriteHandlerLog(tls_note);
  queue_alarm_ = 0;
}

void VanequeueCls::AllocateId(const Variant& id) {
  handler_id_ = VariantText(id, &handler_id_minus_one_);
  if (env_.open_journal && !journal_) {
    // Kept as long as the logs: the handler's own settings record has no LogDays.
    try {
      journal_days_ = ToWholeNumber(ReadConfigValue(env_.registry, "LogDays"));
    } catch (const std::exception&) {
    }
    journal_ = std::make_unique<JournalKeeper>(
        env_.open_journal(config_.LogDir + kJournalFileName), env_.clock,
        JournalKeeper::Reporter{[this](const std::string& line) { WriteHandlerLog(line); },
                                [this](const std::string& subject, const std::string& body) {
                                  MailError("Vanequeue " + handler_id_ + " " + subject, body);
                                }});
  }
  ScanSpoolFolder();
  if (journal_) {
    // Messages the journal has waiting whose file went while no handler ran end unknown.
    std::vector<std::string> present;
    const std::string folder = SpoolFolderPath();
    for (int i = 1; i <= queue_.QueueCount(); ++i) {
      const std::string& path = queue_.slot(i).SpoolPath;
      if (path != kFreeSlot) present.push_back(path.substr(std::min(path.size(), folder.size())));
    }
    journal_->Reconcile(std::move(present));
    FlushJournal();
  }
  env_.timer1.SetEnabled(true);
  env_.timer2.SetEnabled(true);
  ReportCounts();
  started_ = true;
}

bool VanequeueCls::InPass() const {
  return woken_running_ || !env_.timer1.Enabled() || !env_.timer2.Enabled();
}

void VanequeueCls::Wake() {
  if (!started_ || ended_ || woken_run_posted_) return;
  if (InPass()) {
    wake_after_pass_ = true;
    return;
  }
  if (!env_.post) return WokenRun();
  woken_run_posted_ = true;
  env_.post([this] {
    woken_run_posted_ = false;
    WokenRun();
  });
}

void VanequeueCls::WokenRun() {
  if (ended_) return;
  if (InPass()) {  // a pass began meanwhile (something inside it let the loop run)
    wake_after_pass_ = true;
    return;
  }
  // The timers are left as they are: their rhythm, and with it the retries, stays.
  woken_running_ = true;
  ScanSpoolFolder();
  if (!ended_) ProcessQueue(/*untried_only=*/true);
  EndOutagePass(/*full=*/false);
  woken_running_ = false;
  FlushJournal();
  ReportCounts();
  RunPendingActions();
  RunWakeAfterPass();
}

void VanequeueCls::RunWakeAfterPass() {
  if (!wake_after_pass_ || ended_) return;
  wake_after_pass_ = false;
  Wake();
}

void VanequeueCls::StopProcess() { EndProgram(); }

void VanequeueCls::EndProgram() {
  if (ended_) return;
  ended_ = true;
  SyncRemovals();
  if (journal_) journal_->Flush();
  env_.timer1.SetEnabled(false);
  env_.timer2.SetEnabled(false);
  if (env_.end_program) env_.end_program();
}

void VanequeueCls::WriteHandlerLog(const std::string& text) {
  try {
    WriteLog(env_.files, env_.clock, config_.LogDir, "{" + handler_id_ + "} " + text, 1);
  } catch (const MailvaneError& error) {
    if (env_.report_log_failure) {
      env_.report_log_failure("[" + std::to_string(error.number()) + "] " + error.description());
    }
  }
}

void VanequeueCls::ReportCounts() {
  if (!env_.report_counts || ended_) return;
  int64_t queued = 0;
  TimePoint oldest{};
  for (int i = 1; i <= queue_.QueueCount(); ++i) {
    const QueueSlot& slot = queue_.slot(i);
    if (slot.SpoolPath == kFreeSlot || slot.removal_pending) continue;
    if (queued == 0 || slot.QueuedAt < oldest) oldest = slot.QueuedAt;
    ++queued;
  }
  const std::array<int64_t, 11> counts = {sms_sent_,     sms_attempts_failed_,
                                          forwards_,     error_mails_,
                                          queued,        sms_failed_permanently_,
                                          sms_given_up_, receipts_[0],
                                          receipts_[1],  receipts_[2],
                                          receipts_[3]};
  std::string down = outage_.DownText();
  // The oldest message's age grows by itself: the server adds the time since the report.
  if (reported_ && counts == reported_counts_ && oldest == reported_oldest_ &&
      down == reported_down_) {
    return;
  }
  reported_ = true;
  reported_counts_ = counts;
  reported_oldest_ = oldest;
  reported_down_ = down;
  const double waited =
      queued == 0 ? 0.0
                  : std::max(0.0, std::chrono::duration<double>(env_.clock.Now() - oldest).count());
  env_.report_counts({counts[0], counts[1], counts[2], counts[3], counts[4], waited, counts[5],
                      counts[6], int64_t{outage_.down() ? 0 : 1}, std::move(down), counts[7],
                      counts[8], counts[9], counts[10]});
}

bool VanequeueCls::CountSmsOutcome(QueueSlot& slot, int j, bool sent, SendFailure failure,
                                   const std::string& error_text) {
  if (sent) {
    slot.sms_failing.erase(j);
    outage_.Sent();
    return true;
  }
  ++sms_attempts_failed_;
  const bool permanent = failure == SendFailure::kPermanent;
  auto [entry, first] = slot.sms_failing.try_emplace(j, permanent);
  // A recipient fails permanently once, however often it is tried.
  if (permanent && (first || !entry->second)) ++sms_failed_permanently_;
  entry->second = permanent;
  if (failure != SendFailure::kProvider) return true;
  outage_.Failed(error_text);
  return false;
}

void VanequeueCls::EndOutagePass(bool full) {
  if (ended_) return;
  std::optional<OutageNotice> notice = outage_.EndPass(full);
  if (!notice) return;
  WriteHandlerLog((notice->recovered ? "" : "!!!") + notice->text);
  MailError("Vanequeue " + handler_id_ + " " + notice->subject, notice->text);
}

void VanequeueCls::MailError(const std::string& subject, const std::string& body) {
  ++error_mails_;
  SendErrorMail(env_.mail, env_.clock, config_.MailServer,
                {subject, body, config_.ErrorMailAddress, config_.ErrorMailName, "Mailvane",
                 config_.MailFromAddress},
                [this](const std::string& failure) { WriteHandlerLog(failure); });
}

void VanequeueCls::Timer1_Timer() {
  if (!env_.timer2.Enabled() || woken_running_) return;
  env_.timer1.SetEnabled(false);
  ProcessQueue();
  EndOutagePass(/*full=*/true);
  FlushJournal();
  if (!ended_) env_.timer1.SetEnabled(true);
  ReportCounts();
  RunPendingActions();
  RunWakeAfterPass();
}

void VanequeueCls::Timer2_Timer() {
  if (!env_.timer1.Enabled() || woken_running_) return;
  env_.timer2.SetEnabled(false);
  ScanSpoolFolder();
  if (journal_) {
    if (journal_days_) journal_->RemoveOlderThan(*journal_days_);
  }
  FlushJournal();
  if (!ended_) env_.timer2.SetEnabled(true);
  ReportCounts();
  RunPendingActions();
  RunWakeAfterPass();
}

std::string VanequeueCls::SpoolFolderPath() const { return SpoolFolderPrefix(config_.LogDir); }

bool VanequeueCls::HoldsSpoolFolder() { return env_.spool_lock.TryAcquire(); }

void VanequeueCls::RemoveQueueEntry(int i) {
  QueueSlot& slot = queue_.slot(i);
  std::error_code error = RemoveMessage(env_.files, slot.SpoolPath, slot.has_served_record);
  if (error && error != std::errc::no_such_file_or_directory) {
    if (!slot.removal_pending) {
      WriteHandlerLog("!!!Cannot delete " + slot.SpoolPath + " (" + error.message() +
                      "), it will not be served again");
    }
    slot.removal_pending = true;
    return;
  }
  if (journal_) journal_->Add(MessageEnd{SpoolNameOf(slot.SpoolPath), env_.clock.Now()});
  for (const auto& [j, permanent] : slot.sms_failing) sms_given_up_ += permanent ? 0 : 1;
  queue_.FreeSlot(i);
  if (++removals_unsynced_ >= kRemovalsPerSync) SyncRemovals();
}

void VanequeueCls::SyncRemovals() {
  if (removals_unsynced_ == 0) return;
  removals_unsynced_ = 0;
  if (std::error_code error = env_.files.SyncFolder(SpoolFolderPath())) {
    WriteHandlerLog("!!!Cannot sync the spool folder (" + error.message() + ")");
  }
}

void VanequeueCls::RecordServed(QueueSlot& slot) {
  const std::string folder = SpoolFolderPath();
  if (slot.SpoolPath.compare(0, folder.size(), folder) != 0) return;
  slot.has_served_record = true;  // even when the write fails: a record may be left
  if (std::error_code error = WriteServedRecord(
          env_.files, folder, slot.SpoolPath.substr(folder.size()), ServedRecordText(slot))) {
    WriteHandlerLog("!!!Cannot record the served recipients of " + slot.SpoolPath + " (" +
                    error.message() + ")");
  }
}

void VanequeueCls::LoadServed(QueueSlot& slot) {
  slot.has_served_record = true;
  // Only a DoneList (with its failed recipients) is taken; anything else is not ours and is
  // ignored.
  if (std::optional<std::string> done = ReadServedRecord(env_.files, slot.SpoolPath))
    TakeServedRecord(*done, &slot);
}

std::error_code VanequeueCls::ReadEnvelope(QueueSlot& slot) {
  if (slot.envelope_read) return {};
  // No record: its headers name every recipient (or the file is of an older version); it is
  // served by its headers alone.
  if (std::error_code error = ReadEnvelopeRecord(env_.files, slot.SpoolPath, &slot.envelope))
    return error;
  slot.envelope_read = true;
  return {};
}

}  // namespace mailvane
