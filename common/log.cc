#include "common/log.h"

#include "common/error.h"
#include "common/text.h"
#include "platform/files/file_system.h"
#include "platform/loop/clock.h"

namespace mailvane {
namespace {

std::string LogFilePathAt(const std::string& log_dir, const LocalDateTime& now) {
  return log_dir + std::to_string(now.year) + PadTwo(now.month) + PadTwo(now.day) + ".log";
}

}  // namespace

std::string PadTwo(long long value) { return PadTwo(std::to_string(value)); }

std::string PadTwo(const std::string& text) { return CharacterCount(text) < 2 ? "0" + text : text; }

std::string LogFilePath(const std::string& log_dir, const Clock& clock) {
  return LogFilePathAt(log_dir, clock.LocalNow());
}

void WriteLog(FileSystem& files, const Clock& clock, const std::string& log_dir,
              const std::string& text, int flag) {
  if (flag != 1) return;
  // One reading of the clock names the file and stamps the line, so both agree at midnight.
  LocalDateTime now = clock.LocalNow();
  std::string path = LogFilePathAt(log_dir, now);
  std::error_code ec = files.AppendLine(path, FormatLogTimestamp(now) + " " + text);
  if (ec) {
    int number = FileErrorNumber(ec.value());
    throw MailvaneError(number, StandardMessageText(number) + ": " + path,
                        "Scripting.FileSystemObject");
  }
}

}  // namespace mailvane
