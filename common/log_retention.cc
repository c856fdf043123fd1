#include <cstdlib>
#include <vector>

#include "common/convert.h"
#include "common/error.h"
#include "common/log.h"
#include "common/spool.h"
#include "platform/base/ascii.h"
#include "platform/files/file_system.h"
#include "platform/loop/clock.h"

namespace mailvane {
namespace {

// The counter starts at 1 after a load, so the first sweep comes on the 359th call.
constexpr int kSweepEvery = 360;

bool HasLogEnding(const std::string& name) { return EndsWithIgnoringAsciiCase(name, ".log"); }

long DayNumber(const LocalDateTime& t) { return DaysFromCivil(t.year, t.month, t.day); }

[[noreturn]] void RaiseFileError(std::error_code ec, const std::string& path) {
  int number = FileErrorNumber(ec.value());
  throw MailvaneError(number, StandardMessageText(number) + ": " + path,
                      "Scripting.FileSystemObject");
}

}  // namespace

void EnsureSpoolFolder(FileSystem& files, const std::string& log_dir) {
  std::string folder = SpoolFolder(log_dir);
  // Any failure shows up later, when a spool file cannot be written.
  if (!files.FolderExists(folder)) (void)files.CreateFolder(folder);
}

void PurgeOldLogs(FileSystem& files, const Clock& clock, const std::string& log_dir,
                  const std::string& log_days, int* sweep_counter) {
  if (++*sweep_counter < kSweepEvery) return;
  *sweep_counter = 0;

  std::vector<FileInfo> listed;
  std::string folder = log_dir.empty() ? "." : log_dir;
  if (std::error_code ec = files.ListFiles(folder, &listed)) RaiseFileError(ec, folder);
  // Without a whole number of days there is no age to compare with: keep every file.
  std::optional<int32_t> days = ToWholeNumber(log_days);
  if (!days) return;

  long today = DayNumber(clock.LocalNow());
  for (const FileInfo& file : listed) {
    if (!HasLogEnding(file.name)) continue;
    long age = std::labs(today - DayNumber(clock.ToLocal(file.modified)));
    if (age < *days) continue;
    std::string path = log_dir + file.name;
    if (std::error_code ec = files.DeleteFile(path)) RaiseFileError(ec, path);
  }
}

}  // namespace mailvane
