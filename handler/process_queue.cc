// The processing pass: every queued message is loaded and each of its recipients served, by SMS
// through the provider's renderer or by forwarding; served messages are concluded and deleted,
// failed ones stay queued for the next pass until they expire. Serving a recipient only sends;
// RecordOutcome alone keeps the books (DoneList, error count, send-error lines, error mail).
// SMS are started without waiting for the provider, as many at a time as the renderers allow,
// and each is recorded when its answer comes; the pass ends when every one is recorded.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "common/convert.h"
#include "common/error.h"
#include "common/recipients.h"
#include "common/text.h"
#include "handler/is_email_address.h"
#include "handler/mail_error.h"
#include "handler/vanequeue_cls.h"
#include "platform/loop/clock.h"
#include "platform/mail/mail.h"
#include "platform/mail/mail_result.h"
#include "platform/sms/sms_renderer.h"

namespace mailvane {
namespace {

std::string Position(int i, int count) {
  return "(" + std::to_string(i) + "/" + std::to_string(count) + ")";
}

std::string BeforeAt(const std::string& text) { return text.substr(0, text.find('@')); }

// A setting read as a whole number as large as the text holds: the number syntax of ToInt16,
// rounded the same way, saturating at the 64-bit bounds. Not a number: type mismatch.
long long ToWholeCount(std::string_view text) {
  std::optional<double> value = ParseNumber(text);
  if (!value) throw MailvaneError(kErrTypeMismatch);
  const double rounded = std::nearbyint(*value);
  if (rounded >= 9223372036854775807.0) return INT64_MAX;
  if (rounded <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<long long>(rounded);
}

// The SMS text of a message, cut so that it and the sender's display name fit MaxLength together
// with their separator.
SmsText MessageSmsText(const StoredMessage& message, const ConfigRecord& config) {
  const long long max_length = ToWholeCount(config.MaxLength);
  const long long from_length = static_cast<long long>(CharacterCount(message.From()));
  return SmsTextOf(message.BodyText(), message.Subject(), config.StripCRLF == "1",
                   max_length > from_length ? max_length - 1 - from_length : 0);
}

// Whether a recipient gets an SMS rather than the mail: any address that is no e-mail address
// by its form, and one that is but whose part before "@" reads as a number.
bool IsSmsRecipient(const std::string& address) {
  return !IsEmailAddress(address) || NumberDigits(BeforeAt(address)).has_value();
}

}  // namespace

void VanequeueCls::ProcessQueue(bool untried_only) {
  if (handler_id_minus_one_) {
    EndProgram();
    return;
  }
  if (!HoldsSpoolFolder()) return;
  try {
    const int count = queue_.QueueCount();
    if (count > kQueueAlarmSlots) {
      if (queue_alarm_ != 1) {
        queue_alarm_ = 1;
        WriteHandlerLog("Mail queue now " + std::to_string(count));
        MailError("Vanequeue " + handler_id_ + " Queue Error (" + std::to_string(count) + ")",
                  "Queue count is now " + std::to_string(count));
      }
    } else {
      queue_alarm_ = 0;
    }
    for (int i = 1; i <= count && !ended_; ++i) {
      if (untried_only && queue_.slot(i).tried) continue;
      queue_.slot(i).tried = true;
      ServeMessage(i);
    }
    WaitForSends(0);
    SyncRemovals();
  } catch (const std::exception& error) {
    // What is under way is finished first, so that no send outlives the pass unrecorded.
    try {
      WaitForSends(0);
    } catch (const std::exception&) {
    }
    // The fatal path: mail the administrator and end; the spool files stay for the next handler.
    std::string source = "Vanequeue";
    std::string description = error.what();
    if (const auto* mv = dynamic_cast<const MailvaneError*>(&error)) {
      if (!mv->source().empty()) source = mv->source();
      description = mv->description();
    }
    MailError("Vanequeue " + handler_id_ + " Error", source + ":" + description + "\r\n");
    EndProgram();
  }
}

// What serving one recipient came to. A failure carries its Send result, its text and how it
// may end; how the failure is logged depends on the way it was served. A send cut short by the
// handler's stop is no outcome: the recipient stays as it was.
struct RecipientOutcome {
  enum Kind { kServed, kFailed, kNotAllowed, kStopped };
  enum Way { kSms, kForward };
  Kind kind = kServed;
  Way way = kSms;
  long result = 0;
  std::string error_text;
  SendFailure failure = SendFailure::kNone;  // of an SMS
  // Of an SMS: the number as sent, its text, the provider's ids of its parts.
  std::string number;
  std::string text;
  std::vector<std::string> provider_ids;
};

namespace {

bool IsProviderFailure(const RecipientOutcome& outcome) {
  return outcome.failure == SendFailure::kProvider;
}

// A failure that no retry changes concludes its recipient at once.
bool IsPermanentFailure(const RecipientOutcome& outcome) {
  if (outcome.way != RecipientOutcome::kSms || IsProviderFailure(outcome)) return false;
  return outcome.failure == SendFailure::kPermanent || outcome.result == kSmsInvalidNumber;
}

}  // namespace

// A message whose recipients are being served. It is concluded when the last of its
// recipients is done, which may come after later messages of the pass have been taken up.
struct VanequeueCls::MessageInService {
  int i = 0;
  int count = 0;
  std::unique_ptr<StoredMessage> message;
  std::vector<MailRecipient> recipients;
  int error_count = 0;
  int unanswered = 0;  // recipients whose outcome is still to come
  int unfinished = 1;  // recipients under way, and one while they are being started
  int stopped = 0;     // recipients left untried or cut short by the handler's stop
};

void VanequeueCls::ServeMessage(int i) {
  QueueSlot& slot = queue_.slot(i);
  if (slot.SpoolPath == kFreeSlot) return;
  if (slot.removal_pending) {  // served or dropped already; only its file is left to delete
    RemoveQueueEntry(i);
    return;
  }
  if (RemoveIfExpired(i, slot)) return;
  const int count = queue_.QueueCount();
  std::unique_ptr<StoredMessage> message = LoadQueuedMessage(i, count, slot);
  if (!message) return;

  auto service = std::make_shared<MessageInService>();
  service->i = i;
  service->count = count;
  service->message = std::move(message);
  // The header recipients keep their numbers; recipients given only in the envelope follow.
  service->recipients = service->message->Recipients();
  for (MailRecipient& extra : EnvelopeOnlyRecipients(service->recipients, slot.envelope)) {
    service->recipients.push_back(std::move(extra));
  }
  if (!slot.journaled) RecordNewMessage(slot, *service->message, service->recipients);
  const int recipient_count = static_cast<int>(service->recipients.size());
  std::vector<int> to_serve;  // those not served on an earlier pass
  for (int j = 1; j <= recipient_count; ++j) {
    if (!DoneListContains(slot.DoneList, j) && !DoneListContains(slot.failed_list, j)) {
      to_serve.push_back(j);
    }
  }
  service->unanswered = static_cast<int>(to_serve.size());
  for (int j : to_serve) {
    WaitForSends(env_.sms.SendsInFlight() - 1);
    if (ended_) {  // a stopping handler starts no more sends
      ++service->stopped;
      --service->unanswered;
      continue;
    }
    ++service->unfinished;
    ServeRecipient(*service->message, service->recipients[j - 1], slot.SpoolPath,
                   [this, service, j](const RecipientOutcome& outcome) {
                     if (outcome.kind == RecipientOutcome::kStopped) {
                       ++service->stopped;
                       --service->unanswered;
                       return RecipientDone(*service);
                     }
                     const bool last = --service->unanswered == 0 && service->stopped == 0;
                     RecordOutcome(service->i, service->count, j, service->recipients[j - 1],
                                   *service->message, outcome, last, &service->error_count);
                     RecipientDone(*service);
                   });
  }
  RecipientDone(*service);
}

void VanequeueCls::RecipientDone(MessageInService& service) {
  // A message the stop cut short stays queued as it is, for the next handler.
  if (--service.unfinished > 0 || service.stopped > 0) return;
  ConcludeMessage(service.i, service.count, std::move(service.message), service.recipients,
                  service.error_count);
}

void VanequeueCls::WaitForSends(int at_most) {
  while (sends_in_flight_ > std::max(at_most, 0)) env_.sms.WaitForSend();
  if (send_failure_) std::rethrow_exception(std::exchange(send_failure_, nullptr));
}

bool VanequeueCls::RemoveIfExpired(int i, const QueueSlot& slot) {
  const LocalDateTime now = env_.clock.LocalNow();
  const LocalDateTime queued_at = env_.clock.ToLocal(slot.QueuedAt);
  const long long age = std::llabs(MinuteNumber(now) - MinuteNumber(queued_at));
  const std::optional<long long> expiry = MessageExpiryMinutes();
  if (!expiry || age < *expiry) return false;
  WriteHandlerLog("Message expired " + FormatGeneralDate(queued_at) + " " + slot.SpoolPath);
  RecordGivenUp(slot.SpoolPath);
  RemoveQueueEntry(i);
  return true;
}

std::unique_ptr<StoredMessage> VanequeueCls::LoadQueuedMessage(int i, int count, QueueSlot& slot) {
  std::unique_ptr<StoredMessage> message = env_.mail.NewStoredMessage();
  message->SetTempDirectory(SpoolFolderPath());
  const long loaded = message->LoadMessage(slot.SpoolPath, 0, 0, 0);
  std::error_code envelope_error;
  if (loaded == 0) envelope_error = ReadEnvelope(slot);
  if (loaded == kMailFileTemporaryError || envelope_error) {
    // The file is there but cannot be read now (no descriptors, no permission, an I/O error): it
    // stays queued for the next pass, until it expires.
    if (!slot.load_failure_logged) {
      WriteHandlerLog("!!!Cannot read message now " + Position(i, count) + " " +
                      (envelope_error ? envelope_error.message() : std::to_string(loaded)) + " " +
                      slot.SpoolPath + ", it stays queued");
      slot.load_failure_logged = true;
    }
    return nullptr;
  }
  if (loaded != 0) {
    MailError(
        "Vanequeue " + handler_id_ + " Message Error " + Position(i, count),
        "Failed to load message..." + std::to_string(loaded) + "...deleted " + slot.SpoolPath);
    WriteHandlerLog("Message Error " + Position(i, count) + " " + std::to_string(loaded) + " " +
                    slot.SpoolPath);
    message.reset();
    RemoveQueueEntry(i);
    return nullptr;
  }
  return message;
}

void VanequeueCls::ServeRecipient(const StoredMessage& message, const MailRecipient& recipient,
                                  const std::string& spool_path,
                                  std::function<void(const RecipientOutcome&)> done) {
  const std::string from_addr = message.FromAddr();
  const std::string from = message.From();
  const std::string sms_text = MessageSmsText(message, config_).text;
  const std::string name = BeforeAt(recipient.name);
  const std::string number = ProviderNumber(BeforeAt(recipient.address));

  RecipientOutcome outcome;
  if (IsSmsRecipient(recipient.address)) {
    std::shared_ptr<SmsRenderer> renderer = env_.sms.NewRenderer();
    renderer->SetMailServer(config_.MailServer);
    renderer->SetMailAddress(kSmsGatewayAddress);
    renderer->SetReplyAddress(config_.MailFromAddress.empty() ? from_addr
                                                              : config_.MailFromAddress);
    renderer->SetReplyName(from.empty() ? "Unknown" : from);
    renderer->SetMessage(sms_text);
    renderer->SetAccount(config_.AccessUserName);
    renderer->SetPassword(config_.AccessPassword);
    renderer->AddRecipient(number, name);
    renderer->SetReference(spool_path.substr(spool_path.rfind('/') + 1));  // the file name
    ++sends_in_flight_;
    // The renderer lives in its own completion until the provider has answered. The
    // bookkeeping must not throw into the provider's connection: a failure waits for the pass.
    SmsRenderer& sending = *renderer;
    sending.StartSend([this, renderer, number, sms_text, done = std::move(done)](long result) {
      --sends_in_flight_;
      RecipientOutcome sent;
      sent.result = result;
      sent.number = number;
      sent.text = sms_text;
      if (result == 0) sent.provider_ids = renderer->MessageIds();
      if (result != 0) {
        sent.kind = RecipientOutcome::kFailed;
        sent.error_text = renderer->ErrorText();
        sent.failure = renderer->Failure();
        // Once the handler is stopping, a failure may be the stop's own doing: not an outcome.
        if (sent.failure == SendFailure::kStopping || ended_)
          sent.kind = RecipientOutcome::kStopped;
      }
      try {
        done(sent);
      } catch (...) {
        if (!send_failure_) send_failure_ = std::current_exception();
      }
    });
    return;
  }
  outcome.way = RecipientOutcome::kForward;
  if (config_.ForwardOK != "1") {
    outcome.kind = RecipientOutcome::kNotAllowed;
    return done(outcome);
  }
  std::unique_ptr<OutgoingMail> smtp = env_.mail.NewOutgoingMail();
  smtp->Reset();
  smtp->SetBodyFormat();
  smtp->SetMailServer(config_.MailServer);
  smtp->SetSubject(message.Subject());
  smtp->SetBodyText(message.BodyText());
  smtp->AddRecipient(recipient.name, recipient.address);
  smtp->SetFrom(from);
  smtp->SetFromAddr(from_addr);
  outcome.result = smtp->Send();
  if (outcome.result != 0) {
    outcome.kind = RecipientOutcome::kFailed;
    outcome.error_text = GetMailErrorText(outcome.result);
  }
  done(outcome);
}

void VanequeueCls::RecordOutcome(int i, int count, int j, const MailRecipient& recipient,
                                 const StoredMessage& message, const RecipientOutcome& outcome,
                                 bool last, int* error_count) {
  QueueSlot& slot = queue_.slot(i);
  RecordTry(slot, recipient, outcome);
  if (outcome.kind == RecipientOutcome::kServed && !outcome.provider_ids.empty()) {
    std::string ids;
    for (const std::string& id : outcome.provider_ids) ids += (ids.empty() ? "" : " ") + id;
    WriteHandlerLog("SMS sent " + Position(i, count) + " " + outcome.number + " (" + ids + ")");
  }
  switch (outcome.kind) {
    case RecipientOutcome::kServed:
      ++(outcome.way == RecipientOutcome::kSms ? sms_sent_ : forwards_);
      if (outcome.way == RecipientOutcome::kSms)
        CountSmsOutcome(slot, j, true, SendFailure::kNone, "");
      slot.DoneList += std::to_string(j) + ":";
      // The last of a message served whole needs no record: its file is deleted next, and
      // ConcludeMessage records the recipients should the file stay.
      if (!last || *error_count > 0) RecordServed(slot);
      return;
    case RecipientOutcome::kNotAllowed:
      WriteHandlerLog("EMail Forward not allowed " + Position(i, count) + " " + recipient.address);
      return;
    case RecipientOutcome::kStopped:  // not an outcome; ServeMessage keeps it from here
      return;
    case RecipientOutcome::kFailed:
      break;
  }
  const bool permanent = IsPermanentFailure(outcome);
  if (permanent) {
    slot.failed_list += std::to_string(j) + ":";
    if (!last || *error_count > 0) RecordServed(slot);
  } else {
    ++*error_count;
  }
  // A provider that cannot be used is told of by the outage mails, not by each message's.
  const bool own_failure =
      outcome.way != RecipientOutcome::kSms ||
      CountSmsOutcome(slot, j, false, permanent ? SendFailure::kPermanent : outcome.failure,
                      outcome.error_text);
  // SMS failures are logged on every pass, forwarding failures only until the message's errored
  // block is logged; the error mail carries the text only of a failure logged now.
  std::string mailed_text;
  if (outcome.way == RecipientOutcome::kSms || slot.ErrorLogged == 0) {
    WriteHandlerLog("!!!Send Error " + Position(i, count) + " " + recipient.address + "/" +
                    message.FromAddr());
    WriteHandlerLog("!!!" + outcome.error_text);
    mailed_text = outcome.error_text;
  }
  if (slot.ErrorMailed == 0 && own_failure) {
    MailError("Vanequeue " + handler_id_ + " Message send Error " + Position(i, count),
              recipient.address + "/" + message.FromAddr() +
                  ", Failed to send message, Check logs, Error : " + mailed_text);
    slot.ErrorMailed = 1;
  }
}

void VanequeueCls::ConcludeMessage(int i, int count, std::unique_ptr<StoredMessage> message,
                                   const std::vector<MailRecipient>& recipients, int error_count) {
  QueueSlot& slot = queue_.slot(i);
  auto log_block = [&](const std::string& first_line) {
    WriteHandlerLog(first_line);
    WriteHandlerLog(">>> From:" + message->FromAddr() + " <" + message->From() + ">");
    for (const MailRecipient& recipient : recipients) {
      WriteHandlerLog(">>> To:" + recipient.address + " <" + recipient.name + ">");
    }
    WriteHandlerLog(">>> Body:" + message->BodyText());
    if (std::any_of(recipients.begin(), recipients.end(),
                    [](const MailRecipient& r) { return IsSmsRecipient(r.address); })) {
      const SmsText sms = MessageSmsText(*message, config_);
      if (sms.cut) {
        WriteHandlerLog(">>> SMS text (cut to " + std::to_string(CharacterCount(sms.text)) +
                        " characters)");
      }
    }
  };
  if (error_count == 0) {
    // Every recipient is done with; some may have failed for good.
    log_block((slot.failed_list.empty() ? "Processed OK " : "!!!Processed with errors ") +
              Position(i, count) + " " + slot.SpoolPath);
    message.reset();
    RemoveQueueEntry(i);
    // A file that stays is never served again by this handler; the record keeps it so for the
    // next one.
    if (queue_.slot(i).removal_pending) RecordServed(queue_.slot(i));
  } else if (slot.ErrorLogged != 1) {
    log_block("!!!Errored " + Position(i, count) + " " + slot.SpoolPath);
    slot.ErrorLogged = 1;
  }
}

}  // namespace mailvane

namespace mailvane {

void VanequeueCls::RecordNewMessage(QueueSlot& slot, const StoredMessage& message,
                                    const std::vector<MailRecipient>& recipients) {
  slot.journaled = true;
  if (!journal_) return;
  NewMessage entry;
  entry.spool_name = SpoolNameOf(slot.SpoolPath);
  entry.received = slot.QueuedAt;
  entry.from = message.From().empty() ? message.FromAddr()
                                      : message.From() + " <" + message.FromAddr() + ">";
  entry.subject = message.Subject();
  for (const MailRecipient& recipient : recipients) {
    const RecipientKind kind = IsSmsRecipient(recipient.address) ? RecipientKind::kSms
                               : config_.ForwardOK == "1"        ? RecipientKind::kForward
                                                                 : RecipientKind::kNotAllowed;
    entry.recipients.push_back({recipient.address, kind, RecipientState::kQueued});
  }
  journal_->Add(std::move(entry));
}

void VanequeueCls::RecordTry(const QueueSlot& slot, const MailRecipient& recipient,
                             const RecipientOutcome& outcome) {
  if (!journal_ || outcome.kind == RecipientOutcome::kStopped) return;
  Try entry;
  entry.spool_name = SpoolNameOf(slot.SpoolPath);
  entry.address = recipient.address;
  entry.time = env_.clock.Now();
  entry.answer = outcome.error_text;
  const bool sms = outcome.way == RecipientOutcome::kSms;
  entry.kind = sms ? RecipientKind::kSms : RecipientKind::kForward;
  switch (outcome.kind) {
    case RecipientOutcome::kServed:
      entry.state = sms ? RecipientState::kSent : RecipientState::kForwarded;
      break;
    case RecipientOutcome::kNotAllowed:
      entry.kind = RecipientKind::kNotAllowed;
      entry.state = RecipientState::kNotAllowed;
      break;
    default:
      entry.state = RecipientState::kFailed;
      break;
  }
  if (sms) {
    entry.provider = env_.provider;
    entry.sent_number = outcome.number == recipient.address ? "" : outcome.number;
    entry.provider_ids = outcome.provider_ids;
    entry.parts = static_cast<int>(outcome.provider_ids.size());
    if (outcome.kind == RecipientOutcome::kServed) entry.text = outcome.text;
  }
  journal_->Add(std::move(entry));
}

void VanequeueCls::RecordGivenUp(const std::string& spool_path) {
  if (!journal_) return;
  journal_->Add(StateChange{SpoolNameOf(spool_path), "", env_.clock.Now(), RecipientState::kGivenUp,
                            "given up: the message expired"});
}

}  // namespace mailvane
