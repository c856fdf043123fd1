// The handler's side of the message journal: what a scan or a pass gathers goes into one batch,
// written once at its end (one transaction, one sync). The journal is never on the path that
// decides a send: a journal that cannot be opened or written is logged and mailed once, the
// batch is kept (up to kMaxUnwrittenEntries) and written with the next one, the journal being
// reopened first; when a write works again that is logged once. Loop thread only.
#ifndef MAILVANE_HANDLER_JOURNAL_KEEPER_H_
#define MAILVANE_HANDLER_JOURNAL_KEEPER_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/journal/journal.h"
#include "platform/loop/clock.h"

namespace mailvane {

// The spool name of a spool path: its file name.
inline std::string SpoolNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Entries kept unwritten at most while the journal fails; beyond it they are dropped.
inline constexpr size_t kMaxUnwrittenEntries = 100'000;

class JournalKeeper {
 public:
  struct Reporter {
    std::function<void(const std::string& line)> log;
    std::function<void(const std::string& subject, const std::string& body)> mail;
  };
  // journal may be null: then nothing is recorded (a handler without a journal).
  JournalKeeper(std::unique_ptr<Journal> journal, const Clock& clock, Reporter reporter);
  JournalKeeper(const JournalKeeper&) = delete;
  JournalKeeper& operator=(const JournalKeeper&) = delete;

  bool enabled() const { return journal_ != nullptr; }
  void Add(JournalBatch::Entry entry) {
    if (journal_) batch_.Add(std::move(entry));
  }
  // At the handler's start: every waiting message not among the spool names present ends with
  // its outcome unknown. Done at the first write that works when the journal cannot be used now.
  void Reconcile(std::vector<std::string> present);
  // Writes the gathered batch, after the unwritten ones.
  void Flush();
  // Removes the ended messages older than days days, at most once per calendar day.
  void RemoveOlderThan(int days);

  bool failing() const { return failing_; }
  size_t unwritten() const { return unwritten_.size(); }

 private:
  bool Usable();
  void Failed(const char* what);
  void Recovered();

  std::unique_ptr<Journal> journal_;
  const Clock& clock_;
  Reporter reporter_;
  JournalBatch batch_;
  JournalBatch unwritten_;
  bool failing_ = false;
  bool mailed_ = false;
  bool reconcile_pending_ = false;
  std::vector<std::string> present_;
  long last_removal_day_ = -1;
};

}  // namespace mailvane

#endif  // MAILVANE_HANDLER_JOURNAL_KEEPER_H_
