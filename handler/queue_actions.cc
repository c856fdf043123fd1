// What reaches the handler besides its timers and wakes: an administrator's retry and cancel of
// a queued message, and the provider's delivery receipts; and the journal's write of each scan
// and pass.
#include <utility>

#include "common/recipients.h"
#include "common/spool.h"
#include "handler/vanequeue_cls.h"
#include "platform/loop/clock.h"
#include "platform/mail/mail.h"
#include "platform/mail/mail_result.h"
#include "platform/sms/sms_renderer.h"

namespace mailvane {
namespace {

// The journal's state of a receipt's state word; nothing for a word that is not final
// (ENROUTE, ACCEPTD, UNKNOWN).
std::optional<RecipientState> ReceiptState(const std::string& word) {
  if (word == "DELIVRD") return RecipientState::kDelivered;
  if (word == "UNDELIV" || word == "DELETED") return RecipientState::kUndelivered;
  if (word == "EXPIRED") return RecipientState::kExpired;
  if (word == "REJECTD") return RecipientState::kRejected;
  return std::nullopt;
}

std::string WithoutEntry(const std::string& list, int j) {
  const std::string entry = std::to_string(j) + ":";
  std::string out;
  for (size_t at = 0, next; at < list.size(); at = next + 1) {
    next = list.find(':', at);
    if (next == std::string::npos) break;
    if (list.compare(at, next + 1 - at, entry) != 0) out += list.substr(at, next + 1 - at);
  }
  return out;
}

}  // namespace

void VanequeueCls::FlushJournal() {
  if (journal_) journal_->Flush();
}

void VanequeueCls::TakeReceipt(const SmsReceipt& receipt) {
  const std::optional<RecipientState> state = ReceiptState(receipt.state);
  if (!state) return;
  switch (*state) {
    case RecipientState::kDelivered:
      ++receipts_[0];
      break;
    case RecipientState::kUndelivered:
      ++receipts_[1];
      break;
    case RecipientState::kExpired:
      ++receipts_[2];
      break;
    default:
      ++receipts_[3];
      break;
  }
  if (journal_) {
    journal_->Add(Receipt{receipt.provider_id, env_.provider, env_.clock.Now(), *state,
                          receipt.state + (receipt.error.empty() ? "" : " err:" + receipt.error)});
  }
  // Outside a pass the counts go now; within one, at its end.
  if (!InPass()) ReportCounts();
}

void VanequeueCls::Retry(const std::string& spool_name, const std::string& recipient) {
  if (InPass()) return pending_actions_.push_back({false, spool_name, recipient});
  ApplyAction(false, spool_name, recipient);
}

void VanequeueCls::Cancel(const std::string& spool_name, const std::string& recipient) {
  if (InPass()) return pending_actions_.push_back({true, spool_name, recipient});
  ApplyAction(true, spool_name, recipient);
}

void VanequeueCls::RunPendingActions() {
  std::vector<Action> actions = std::move(pending_actions_);
  pending_actions_.clear();
  for (const Action& action : actions) {
    if (ended_) return;
    ApplyAction(action.cancel, action.spool_name, action.recipient);
  }
}

std::optional<std::vector<MailRecipient>> VanequeueCls::RecipientsOf(QueueSlot& slot) {
  std::unique_ptr<StoredMessage> message = env_.mail.NewStoredMessage();
  message->SetTempDirectory(SpoolFolderPath());
  if (message->LoadMessage(slot.SpoolPath, 0, 0, 0) != 0 || ReadEnvelope(slot)) return std::nullopt;
  std::vector<MailRecipient> recipients = message->Recipients();
  for (MailRecipient& extra : EnvelopeOnlyRecipients(recipients, slot.envelope)) {
    recipients.push_back(std::move(extra));
  }
  return recipients;
}

void VanequeueCls::ApplyAction(bool cancel, const std::string& spool_name,
                               const std::string& recipient) {
  const std::string what = cancel ? "cancel" : "retry";
  const int i = IsSpoolFileName(spool_name) ? queue_.SlotOf(SpoolFolderPath() + spool_name) : 0;
  if (i == 0 || queue_.slot(i).removal_pending) {
    WriteHandlerLog("Message " + spool_name + " is not queued: nothing to " + what);
    return;
  }
  QueueSlot& slot = queue_.slot(i);
  const std::string whom = recipient.empty() ? "" : " for " + recipient;
  // The recipients the action names, by number; all of them for the whole message.
  std::vector<std::pair<int, std::string>> named;
  int recipient_count = 0;
  if (!recipient.empty() || !cancel) {
    std::optional<std::vector<MailRecipient>> recipients = RecipientsOf(slot);
    if (!recipients) {
      WriteHandlerLog("!!!Message " + spool_name + " cannot be read now: nothing to " + what);
      return;
    }
    recipient_count = static_cast<int>(recipients->size());
    for (int j = 1; j <= recipient_count; ++j) {
      const std::string& address = (*recipients)[j - 1].address;
      if (recipient.empty() || SameRecipient(address, recipient)) named.emplace_back(j, address);
    }
    if (named.empty()) {
      WriteHandlerLog("Message " + spool_name + " has no recipient " + recipient + " to " + what);
      return;
    }
  }
  const TimePoint now = env_.clock.Now();
  if (!cancel) {
    // Failed for good is undone; a temporary failure is tried again anyway. A woken pass takes
    // up only messages it has not tried: this one is made so.
    const std::string failed = slot.failed_list;
    for (const auto& [j, address] : named) slot.failed_list = WithoutEntry(slot.failed_list, j);
    if (slot.failed_list != failed) RecordServed(slot);
    slot.tried = false;
    if (journal_) {
      journal_->Add(StateChange{spool_name, recipient.empty() ? "" : named.front().second, now,
                                RecipientState::kQueued, "queued again by an administrator"});
    }
    WriteHandlerLog("Message " + spool_name + " retried" + whom);
    FlushJournal();
    Wake();
    return;
  }
  if (journal_) {
    for (const auto& [j, address] : named) {
      if (!DoneListContains(slot.DoneList, j) && !DoneListContains(slot.failed_list, j)) {
        journal_->Add(StateChange{spool_name, address, now, RecipientState::kCancelled,
                                  "cancelled by an administrator"});
      }
    }
    if (recipient.empty()) {
      journal_->Add(StateChange{spool_name, "", now, RecipientState::kCancelled,
                                "cancelled by an administrator"});
    }
  }
  bool left = false;
  if (!recipient.empty()) {
    for (const auto& [j, address] : named) {
      if (DoneListContains(slot.DoneList, j) || DoneListContains(slot.failed_list, j)) continue;
      slot.DoneList += std::to_string(j) + ":";
      slot.sms_failing.erase(j);
    }
    for (int j = 1; j <= recipient_count && !left; ++j) {
      left = !DoneListContains(slot.DoneList, j) && !DoneListContains(slot.failed_list, j);
    }
  }
  WriteHandlerLog("Message " + spool_name + " cancelled" + whom);
  if (left) {
    RecordServed(slot);
  } else {
    // Nothing is left to send: concluded as a served message is, its file and records removed.
    slot.sms_failing.clear();  // cancelled, not given up
    RemoveQueueEntry(i);
    if (queue_.slot(i).removal_pending) RecordServed(queue_.slot(i));
    SyncRemovals();
  }
  FlushJournal();
  ReportCounts();
}

}  // namespace mailvane
