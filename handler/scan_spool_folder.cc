// The spool folder scan: expired spool files are deleted, every other one is queued. The first
// failure of a sweep keeps the rest of that sweep from deleting or queuing anything.
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <unordered_set>

#include "common/config.h"
#include "common/convert.h"
#include "common/error.h"
#include "common/spool.h"
#include "common/text.h"
#include "handler/vanequeue_cls.h"
#include "platform/files/file_system.h"
#include "platform/loop/clock.h"

namespace mailvane {

void VanequeueCls::RemoveUnfinishedRecords(const std::vector<FileInfo>& files) {
  // This handler holds the spool folder, so no other handler writes here, and its own records are
  // written only inside a processing pass, which never overlaps a scan: any temporary record
  // listed now is a leftover of a handler that ended while writing it.
  const std::string folder = SpoolFolderPath();
  for (const FileInfo& file : files) {
    if (IsHandlerTempName(file.name)) env_.files.DeleteFile(folder + file.name);
  }
}

std::optional<long long> VanequeueCls::MessageExpiryMinutes() {
  if (std::optional<double> value = ParseNumber(config_.MessageExpiry)) {
    const double minutes = std::nearbyint(*value);
    if (minutes >= 0 && minutes <= static_cast<double>(kMaxMessageExpiry)) {
      return static_cast<long long>(minutes);
    }
  }
  if (!expiry_refused_) {
    expiry_refused_ = true;
    const std::string text = "MessageExpiry \"" + config_.MessageExpiry +
                             "\" is not a whole number of minutes from 0 to " +
                             std::to_string(kMaxMessageExpiry) +
                             ": no message expires until it is corrected";
    WriteHandlerLog("!!!" + text);
    MailError("Vanequeue " + handler_id_ + " Settings Error", text);
  }
  return std::nullopt;
}

void VanequeueCls::ScanSpoolFolder() {
  if (!HoldsSpoolFolder()) return;
  const std::string folder = SpoolFolderPath();
  std::vector<FileInfo> files;
  if (env_.files.ListFiles(folder, &files)) return;  // no folder: nothing to do
  // Records of served recipients are rare; knowing them from the listing spares a failing open
  // per newly queued file.
  std::unordered_set<std::string_view> recorded;
  for (const FileInfo& file : files) {
    if (std::string_view spool = SpoolNameOfServedRecord(file.name); !spool.empty())
      recorded.insert(spool);
  }
  RemoveUnfinishedRecords(files);
  const LocalDateTime now = env_.clock.LocalNow();
  const std::optional<long long> expiry = MessageExpiryMinutes();
  bool failure_pending = false;
  for (const FileInfo& file : files) {
    if (!IsSpoolFileName(file.name)) continue;
    try {
      const LocalDateTime modified = env_.clock.ToLocal(file.modified);
      const long long age = std::llabs(MinuteNumber(now) - MinuteNumber(modified));
      if (expiry && age >= *expiry) {
        if (failure_pending) continue;
        WriteHandlerLog("Expired mail file removed..." + file.name + " " +
                        FormatGeneralDate(modified));
        if (std::error_code error = env_.files.DeleteFile(folder + file.name)) {
          failure_pending = true;
        } else if (const int i = queue_.SlotOf(folder + file.name); i != 0) {
          RecordGivenUp(file.name);
          RemoveQueueEntry(i);  // its slot and records go with it: the pass finds nothing gone
        } else {
          env_.files.DeleteFile(folder + EnvelopeRecordName(file.name));
        }
      } else if (!failure_pending) {
        const std::string path = folder + file.name;
        const bool new_in_queue = !queue_.IsQueued(path);
        const int i = queue_.EnqueueSpoolFile(path, env_.clock.Now());
        if (new_in_queue && !recorded.empty() && recorded.erase(file.name) > 0) {
          LoadServed(queue_.slot(i));
        }
      }
    } catch (const MailvaneError&) {
      failure_pending = true;
    }
  }
  // What is left are records of spool files not queued in this sweep: those already queued, and
  // those whose spool file is gone (a handler ended between deleting the two). The latter would
  // otherwise stay for ever, and hold their name back from new spool files. (Envelope records
  // are not swept here: the server writes a new one before its spool file, and only the server,
  // at start, removes those that stand alone.)
  if (recorded.empty()) return;
  std::unordered_set<std::string_view> listed;
  for (const FileInfo& file : files) listed.insert(file.name);
  for (std::string_view spool : recorded) {
    if (listed.count(spool) == 0) env_.files.DeleteFile(folder + ServedRecordName(spool));
  }
}

}  // namespace mailvane
