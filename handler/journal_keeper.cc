#include "handler/journal_keeper.h"

#include <chrono>
#include <utility>

namespace mailvane {

JournalKeeper::JournalKeeper(std::unique_ptr<Journal> journal, const Clock& clock,
                             Reporter reporter)
    : journal_(std::move(journal)), clock_(clock), reporter_(std::move(reporter)) {
  if (journal_ && !journal_->ok()) Failed("opened");
}

bool JournalKeeper::Usable() {
  if (!journal_) return false;
  if (!failing_) return true;
  return !journal_->Reopen();
}

void JournalKeeper::Failed(const char* what) {
  if (failing_) return;
  failing_ = true;
  const std::string text = "The message journal cannot be " + std::string(what) + " (" +
                           journal_->ErrorText() +
                           "): SMS go on being sent, and what happened is written once it can be";
  reporter_.log("!!!" + text);
  if (!mailed_ && reporter_.mail) {
    mailed_ = true;
    reporter_.mail("Journal Error", text);
  }
}

void JournalKeeper::Recovered() {
  if (!failing_) return;
  failing_ = false;
  reporter_.log("The message journal is written again");
}

void JournalKeeper::Reconcile(std::vector<std::string> present) {
  if (!journal_) return;
  present_ = std::move(present);
  reconcile_pending_ = true;
  if (!Usable()) return;
  int ended = 0;
  if (journal_->Reconcile(present_, clock_.Now(), &ended)) return Failed("written");
  reconcile_pending_ = false;
  present_.clear();
  Recovered();
}

void JournalKeeper::Flush() {
  if (!journal_ || (batch_.empty() && unwritten_.empty() && !failing_ && !reconcile_pending_))
    return;
  if (unwritten_.empty()) {
    std::swap(unwritten_, batch_);
  } else {
    unwritten_.Append(std::move(batch_));
    batch_.clear();
  }
  if (!Usable()) {
    // Kept for a later write, within bounds: the newest entries are what a reader most needs.
    if (unwritten_.size() > kMaxUnwrittenEntries) unwritten_.clear();
    return;
  }
  if (reconcile_pending_) {
    int ended = 0;
    if (journal_->Reconcile(present_, clock_.Now(), &ended)) return Failed("written");
    reconcile_pending_ = false;
    present_.clear();
  }
  if (!unwritten_.empty()) {
    WriteResult result;
    if (journal_->Write(unwritten_, &result)) {
      if (unwritten_.size() > kMaxUnwrittenEntries) unwritten_.clear();
      return Failed("written");
    }
    unwritten_.clear();
  }
  Recovered();
}

void JournalKeeper::RemoveOlderThan(int days) {
  if (!journal_ || days < 0) return;
  const TimePoint now = clock_.Now();
  const LocalDateTime local = clock_.ToLocal(now);
  const long today = DaysFromCivil(local.year, local.month, local.day);
  // A failing journal is tried again by Flush alone, which writes what was kept first.
  if (today == last_removal_day_ || failing_) return;
  int removed = 0;
  if (journal_->RemoveOlderThan(now - std::chrono::hours(24) * days, &removed)) {
    return Failed("written");
  }
  last_removal_day_ = today;
  Recovered();
}

}  // namespace mailvane
