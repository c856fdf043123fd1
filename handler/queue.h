// The handler's queue of spool files: slots numbered from 1 that are reused, never removed, so
// QueueCount is the largest number of files queued at one time. A path index and a set of free
// slots keep EnqueueSpoolFile constant-time while the slots behave as a linear search would: a
// path is queued once, and a new file takes the lowest-numbered free slot.
#ifndef MAILVANE_HANDLER_QUEUE_H_
#define MAILVANE_HANDLER_QUEUE_H_

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/loop/clock.h"

namespace mailvane {

inline constexpr char kFreeSlot[] = "*";

struct QueueSlot {
  std::string SpoolPath = kFreeSlot;  // "*" marks a free slot
  TimePoint QueuedAt{};
  int ErrorMailed = 0;
  std::string DoneList;  // served recipient numbers, each followed by ":"
  int ErrorLogged = 0;
  // Recipients that failed for good, in the DoneList's form: never tried again.
  std::string failed_list;
  // The message was finished with but its file could not be deleted: the slot keeps the path so
  // that the file is neither queued nor served again, and deletion is retried on later passes.
  bool removal_pending = false;
  // A served-recipient record may exist beside the spool file (the sweep listed one, or one was
  // written): it is deleted with the spool file. Without it there is nothing to delete.
  bool has_served_record = false;
  // The envelope record has been read: envelope holds its recipients (none without a record).
  bool envelope_read = false;
  std::vector<std::string> envelope;
  // A load that may succeed later failed and was logged; the next such failure is not.
  bool load_failure_logged = false;
  // A pass has taken the message up; a woken pass serves only messages not yet tried.
  bool tried = false;
  // The message is in the journal (recorded at its first load by this handler).
  bool journaled = false;
  // SMS recipients whose last attempt failed, by number: true when it failed permanently. Those
  // left when the slot is freed are given up unsent.
  std::map<int, bool> sms_failing;
};

class SpoolQueue {
 public:
  int QueueCount() const { return static_cast<int>(slots_.size()); }
  // Slot i, 1 <= i <= QueueCount().
  QueueSlot& slot(int i) { return slots_[i - 1]; }
  const QueueSlot& slot(int i) const { return slots_[i - 1]; }

  // Queues the path unless it is queued already (exact, case-sensitive); fills the lowest free
  // slot, or adds one. Returns the slot number.
  int EnqueueSpoolFile(const std::string& path, TimePoint now);
  // Frees the slot: "*", the flags and DoneList cleared, QueuedAt kept.
  void FreeSlot(int i);
  bool IsQueued(const std::string& path) const { return index_.count(path) > 0; }
  // The slot number of a queued path; 0 when it is not queued.
  int SlotOf(const std::string& path) const {
    auto found = index_.find(path);
    return found == index_.end() ? 0 : found->second;
  }

 private:
  std::vector<QueueSlot> slots_;
  std::unordered_map<std::string, int> index_;  // queued path -> slot number
  std::set<int> free_;                          // free slot numbers
};

// Whether recipient number j is in the DoneList, matching whole entries ("11:" does not serve 1).
bool DoneListContains(const std::string& done_list, int j);

// The served-recipient record of a slot: its DoneList, then, when some recipients failed for
// good, ":" and their list ("1:3::2:", ":2:"). A reader that knows only DoneLists finds the
// failed ones in it too, so it never tries them again either.
std::string ServedRecordText(const QueueSlot& slot);
// Takes a record's DoneList and failed list into the slot; text holds only digits and ":".
void TakeServedRecord(std::string_view text, QueueSlot* slot);

}  // namespace mailvane

#endif  // MAILVANE_HANDLER_QUEUE_H_
