// The spool folder scan: expired spool files are deleted, every other one is queued. The first
// failure of a sweep keeps the rest of that sweep from deleting or queuing anything.
#include <cstdlib>

#include "common/convert.h"
#include "common/error.h"
#include "common/text.h"
#include "handler/vanequeue_cls.h"
#include "platform/files/file_system.h"
#include "platform/loop/clock.h"

namespace mailvane {
namespace {

bool EndsInMsg(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".msg";
}

}  // namespace

void VanequeueCls::ScanSpoolFolder() {
  if (!HoldsSpoolFolder()) return;
  const std::string folder = SpoolFolderPath();
  std::vector<FileInfo> files;
  if (env_.files.ListFiles(folder, &files)) return;  // no folder: nothing to do
  const LocalDateTime now = env_.clock.LocalNow();
  bool failure_pending = false;
  for (const FileInfo& file : files) {
    if (!EndsInMsg(file.name)) continue;
    try {
      const LocalDateTime modified = env_.clock.ToLocal(file.modified);
      const long long age = std::llabs(MinuteNumber(now) - MinuteNumber(modified));
      if (age >= ToInt16(config_.MessageExpiry)) {
        if (failure_pending) continue;
        WriteHandlerLog("Expired mail file removed..." + file.name + " " +
                        FormatGeneralDate(modified));
        if (std::error_code error = env_.files.DeleteFile(folder + file.name)) {
          failure_pending = true;
        }
      } else if (!failure_pending) {
        const std::string path = folder + file.name;
        const bool new_in_queue = !queue_.IsQueued(path);
        const int i = queue_.EnqueueSpoolFile(path, env_.clock.Now());
        if (new_in_queue) LoadServed(queue_.slot(i));
      }
    } catch (const MailvaneError&) {
      failure_pending = true;
    }
  }
}

}  // namespace mailvane
