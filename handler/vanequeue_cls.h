// The queue handler's automation object and its process-wide state: the configuration record,
// HandlerId, the queue, and the hidden form's two timers (Timer1 processes the queue every 5 s,
// Timer2 scans the spool folder every 2.5 s; each skips its tick while the other's pass runs).
// The server wakes the handler when it has spooled a file: a scan and a pass of the messages not
// yet tried then run at once, never overlapping a timed pass; retries keep the timers' rhythm.
// Loop thread only.
#ifndef MAILVANE_HANDLER_VANEQUEUE_CLS_H_
#define MAILVANE_HANDLER_VANEQUEUE_CLS_H_

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "common/config.h"
#include "handler/journal_keeper.h"
#include "handler/provider_outage.h"
#include "handler/queue.h"
#include "platform/automation/automation.h"
#include "platform/base/send_outcome.h"

namespace mailvane {

class Clock;
class FileLock;
class FileSystem;
struct FileInfo;
class MailFactory;
struct MailRecipient;
struct RecipientOutcome;
class StoredMessage;
class RegistryReader;
class SmsRendererFactory;
struct SmsReceipt;
class Timer;

inline constexpr uint16_t kProcessInterval = 5000;  // Timer1
inline constexpr uint16_t kScanInterval = 2500;     // Timer2
inline constexpr int kQueueAlarmSlots = 256;
// Deletions after which the spool folder is synced even within a pass.
inline constexpr int kRemovalsPerSync = 16;

// Everything the handler works with, built by main (or by a test).
struct HandlerEnvironment {
  RegistryReader& registry;
  FileSystem& files;
  const Clock& clock;
  MailFactory& mail;
  SmsRendererFactory& sms;
  Timer& timer1;
  Timer& timer2;
  // Held while this handler serves the spool folder, so that two handlers never serve one
  // folder at the same time; a handler without it scans and processes nothing.
  FileLock& spool_lock;
  std::string program_folder;
  // Ends the handler program at once; called at most once.
  std::function<void()> end_program;
  // Where a failure to write the log is reported (the log itself being unavailable).
  std::function<void(const std::string&)> report_log_failure;
  // Runs a function on the loop after the handlers already queued; woken runs go through it so
  // that wakes arriving together give one run. Without it a wake runs at once.
  std::function<void(std::function<void()>)> post = nullptr;
  // Receives the handler's counts after a scan or pass that changed them (the "Counts" event to
  // the server): SMS sent, SMS attempts failed, mails forwarded, error mails, all since this
  // handler started, then the messages queued and the seconds the oldest has waited since it was
  // queued; then SMS recipients failed permanently and SMS recipients given up unsent (their
  // message expired), 1 while the provider works or 0 while it is down, and what is down (the
  // provider, since when and why; empty while it works).
  std::function<void(const std::vector<Variant>&)> report_counts = nullptr;
  // The provider as the outage mails name it (ProviderName).
  std::string provider = "";
  // Opens the message journal at the path given (LogDir & kJournalFileName) once the settings
  // are loaded; without it nothing is recorded.
  std::function<std::unique_ptr<Journal>(const std::string& path)> open_journal = nullptr;
};

class VanequeueCls {
 public:
  // The class initialisation: loads the handler's configuration record; a failure mails the
  // "Initialise Error" and leaves the fields not yet loaded empty.
  explicit VanequeueCls(HandlerEnvironment environment);

  // Takes the id, scans the spool folder once and switches both timers on.
  void AllocateId(const Variant& id);
  // Ends the handler program; the queue is lost, spool files stay on disk.
  void StopProcess();

  // "{" & HandlerId & "} " & text to the daily log. A line that cannot be written is reported
  // through report_log_failure and otherwise ignored.
  void WriteHandlerLog(const std::string& text);

  // The server has spooled a file. Before AllocateId and after the end nothing happens. Soon
  // after, on the loop, a scan and a pass of the messages not yet tried run, unless a pass is
  // running: then one such run follows it. Wakes that come before the run starts share it.
  void Wake();

  // An administrator's actions on a queued message (spool name), on one recipient (as written)
  // or, with an empty one, on all. Retry: its queued and failed recipients are tried at once, by
  // a woken pass. Cancel: its queued and failed recipients are never sent; a message with none
  // left is concluded and removed. During a pass an action waits for the pass to end.
  void Retry(const std::string& spool_name, const std::string& recipient);
  void Cancel(const std::string& spool_name, const std::string& recipient);
  // Counts a delivery receipt of a final state and records it in the journal, written with the
  // next scan or pass; a receipt of a state on the way (ENROUTE, ACCEPTD) is left.
  void TakeReceipt(const SmsReceipt& receipt);

  void ScanSpoolFolder();
  // untried_only: only messages that no pass has tried yet are served (a woken pass), so that a
  // failed message is retried at the timed pass's rhythm alone.
  void ProcessQueue(bool untried_only = false);
  void Timer1_Timer();
  void Timer2_Timer();

  // Frees the slot after deleting its file; when the file cannot be deleted, the slot keeps the
  // path (removal pending) so the message is never served again, and the failure is logged.
  void RemoveQueueEntry(int slot);
  // Makes the deletions of RemoveQueueEntry durable (one folder sync for all since the last), so
  // that a power loss brings back none of the messages finished before it.
  void SyncRemovals();

  const ConfigRecord& config() const { return config_; }
  const std::string& HandlerId() const { return handler_id_; }
  SpoolQueue& queue() { return queue_; }
  int QueueAlarm() const { return queue_alarm_; }
  bool ended() const { return ended_; }

 private:
  // Served recipients, and those that failed for good, are recorded beside the spool file (its
  // name & ".done"), durably, so that a handler that ends in the middle of a message does not
  // serve them again.
  void RecordServed(QueueSlot& slot);
  void LoadServed(QueueSlot& slot);
  // Reads the envelope record beside the spool file once; an error other than a missing record
  // is returned and the read is tried again next time.
  std::error_code ReadEnvelope(QueueSlot& slot);
  void EndProgram();
  // Reports the counts through report_counts unless nothing changed since the last report.
  void ReportCounts();
  // A timed or a woken pass is under way.
  bool InPass() const;
  void WokenRun();
  // Starts the run that a wake during a pass asked for.
  void RunWakeAfterPass();
  void MailError(const std::string& subject, const std::string& body);
  // Writes what the scan or pass recorded in the journal, once.
  void FlushJournal();
  // The actions that waited for a pass, applied after it.
  void RunPendingActions();
  void ApplyAction(bool cancel, const std::string& spool_name, const std::string& recipient);
  // The message's recipients as a pass serves them; nothing when it cannot be read now.
  std::optional<std::vector<MailRecipient>> RecipientsOf(QueueSlot& slot);
  // Counts one SMS outcome of recipient j (a failure of no kind is temporary) and tells the
  // outage watch. False for a failure of the provider rather than of the message: it gets no
  // error mail of its own, the outage mails tell of it.
  bool CountSmsOutcome(QueueSlot& slot, int j, bool sent, SendFailure failure,
                       const std::string& error_text);
  // After a pass (full: a timed one, which tries every queued message): mails and logs what the
  // outage watch has to say.
  void EndOutagePass(bool full);
  // One message of the processing pass, in its steps: expiry, loading, each recipient served
  // and its outcome recorded, and the conclusion (logged and removed, or left queued).
  void ServeMessage(int i);
  bool RemoveIfExpired(int i, const QueueSlot& slot);
  // MessageExpiry in minutes, read as a whole number; nullopt when it is not one from 0 to
  // kMaxMessageExpiry: then nothing expires, and the first such read logs and mails it.
  std::optional<long long> MessageExpiryMinutes();
  // The loaded message; null when it was removed or stays queued unread.
  std::unique_ptr<StoredMessage> LoadQueuedMessage(int i, int count, QueueSlot& slot);
  struct MessageInService;
  // Sends the SMS or forwards the mail; logs nothing and changes no slot. done receives the
  // outcome: at once for a forward, for an SMS when the provider has answered (from within
  // WaitForSends, unless the renderer sends at once).
  void ServeRecipient(const StoredMessage& message, const MailRecipient& recipient,
                      const std::string& spool_path,
                      std::function<void(const RecipientOutcome&)> done);
  // One recipient of the message is recorded; the last one concludes the message.
  void RecipientDone(MessageInService& service);
  // Runs the loop until at most at_most SMS are under way; rethrows a failure of their
  // bookkeeping.
  void WaitForSends(int at_most);
  // The bookkeeping of both ways: DoneList and its record, the error count, the send-error
  // lines and the one error mail of the message.
  void RecordOutcome(int i, int count, int j, const MailRecipient& recipient,
                     const StoredMessage& message, const RecipientOutcome& outcome, bool last,
                     int* error_count);
  // The journal's entries of a message first loaded, of one try, and of an expiry.
  void RecordNewMessage(QueueSlot& slot, const StoredMessage& message,
                        const std::vector<MailRecipient>& recipients);
  void RecordTry(const QueueSlot& slot, const MailRecipient& recipient,
                 const RecipientOutcome& outcome);
  void RecordGivenUp(const std::string& spool_path);
  void ConcludeMessage(int i, int count, std::unique_ptr<StoredMessage> message,
                       const std::vector<MailRecipient>& recipients, int error_count);
  std::string SpoolFolderPath() const;
  bool HoldsSpoolFolder();

  HandlerEnvironment env_;
  ConfigRecord config_;
  std::string handler_id_;  // as text, empty until AllocateId
  bool handler_id_minus_one_ = false;
  SpoolQueue queue_;
  int queue_alarm_ = 0;
  bool ended_ = false;
  bool started_ = false;           // AllocateId has switched the timers on
  bool woken_running_ = false;     // a woken run is under way
  bool woken_run_posted_ = false;  // a woken run waits on the loop
  bool wake_after_pass_ = false;   // a wake came during a pass
  bool expiry_refused_ = false;    // an unusable MessageExpiry has been reported
  int64_t sms_sent_ = 0;
  int64_t sms_attempts_failed_ = 0;
  int64_t sms_failed_permanently_ = 0;
  int64_t sms_given_up_ = 0;
  int64_t forwards_ = 0;
  int64_t error_mails_ = 0;
  int removals_unsynced_ = 0;        // spool files deleted since the last folder sync
  int sends_in_flight_ = 0;          // SMS started whose outcome is not yet recorded
  std::exception_ptr send_failure_;  // thrown by the bookkeeping of an SMS's outcome
  bool reported_ = false;
  std::array<int64_t, 11> reported_counts_{};
  std::string reported_down_;
  TimePoint reported_oldest_{};
  ProviderOutage outage_;
  std::unique_ptr<JournalKeeper> journal_;
  std::optional<int32_t> journal_days_;  // LogDays: how long the journal keeps ended messages
  struct Action {
    bool cancel = false;
    std::string spool_name;
    std::string recipient;
  };
  std::vector<Action> pending_actions_;
  std::array<int64_t, 4> receipts_{};  // delivered, undelivered, expired, rejected
};

}  // namespace mailvane

#endif  // MAILVANE_HANDLER_VANEQUEUE_CLS_H_
