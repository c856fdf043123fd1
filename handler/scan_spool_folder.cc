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
#include "common/spool_queue.h"
#include "common/text.h"
#include "handler/vanequeue_cls.h"
#include "platform/files/file_system.h"
#include "platform/loop/clock.h"

namespace mailvane {

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
  RemoveHandlerLeftovers(env_.files, folder, files);
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
        const std::string path = folder + file.name;
        if (RemoveMessage(env_.files, path)) {
          failure_pending = true;
        } else if (const int i = queue_.SlotOf(path); i != 0) {
          RecordGivenUp(file.name);
          RemoveQueueEntry(i);  // its slot goes with it: the pass finds nothing gone
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
}

}  // namespace mailvane
