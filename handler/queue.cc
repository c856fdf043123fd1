#include "handler/queue.h"

#include <charconv>

namespace mailvane {

int SpoolQueue::EnqueueSpoolFile(const std::string& path, TimePoint now) {
  if (auto found = index_.find(path); found != index_.end()) return found->second;
  int i;
  if (!free_.empty()) {
    i = *free_.begin();
    free_.erase(free_.begin());
  } else {
    slots_.emplace_back();
    i = QueueCount();
  }
  QueueSlot& s = slot(i);
  s.SpoolPath = path;
  s.QueuedAt = now;
  s.ErrorMailed = 0;
  s.ErrorLogged = 0;
  s.DoneList.clear();
  s.failed_list.clear();
  s.removal_pending = false;
  s.has_served_record = false;
  s.envelope_read = false;
  s.envelope.clear();
  s.load_failure_logged = false;
  s.tried = false;
  s.journaled = false;
  index_[path] = i;
  return i;
}

void SpoolQueue::FreeSlot(int i) {
  QueueSlot& s = slot(i);
  if (s.SpoolPath == kFreeSlot) return;
  index_.erase(s.SpoolPath);
  s.SpoolPath = std::string(kFreeSlot);  // (a move: GCC 12 misreads the copy as overlapping)
  s.ErrorMailed = 0;
  s.ErrorLogged = 0;
  s.DoneList.clear();
  s.failed_list.clear();
  s.removal_pending = false;
  s.has_served_record = false;
  s.envelope_read = false;
  s.envelope.clear();
  s.load_failure_logged = false;
  s.sms_failing.clear();
  free_.insert(i);
}

bool DoneListContains(const std::string& done_list, int j) {
  size_t start = 0;
  while (start < done_list.size()) {
    size_t end = done_list.find(':', start);
    if (end == std::string::npos) end = done_list.size();
    int entry = 0;
    auto [ptr, error] = std::from_chars(done_list.data() + start, done_list.data() + end, entry);
    if (error == std::errc() && ptr == done_list.data() + end && entry == j) return true;
    start = end + 1;
  }
  return false;
}

std::string ServedRecordText(const QueueSlot& slot) {
  if (slot.failed_list.empty()) return slot.DoneList;
  return slot.DoneList + ":" + slot.failed_list;
}

void TakeServedRecord(std::string_view text, QueueSlot* slot) {
  size_t split = text.rfind(':', 0) == 0 ? 0 : text.find("::");
  if (split == std::string_view::npos) {
    slot->DoneList = std::string(text);
    slot->failed_list.clear();
    return;
  }
  if (split > 0) ++split;  // the DoneList keeps its last ":"
  slot->DoneList = std::string(text.substr(0, split));
  slot->failed_list = std::string(text.substr(split + 1));
}

}  // namespace mailvane
