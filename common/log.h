// Daily log files and the creation of the spool folder. Both programs append to LogDir & yyyymmdd
// & ".log", one line per call, each in one append write so the programs' lines never interleave.
#ifndef MAILVANE_COMMON_LOG_H_
#define MAILVANE_COMMON_LOG_H_

#include <string>

namespace mailvane {

class Clock;
class FileSystem;

// The value's text preceded by "0" when it has fewer than two characters ("07", "12", "2026").
std::string PadTwo(long long value);
std::string PadTwo(const std::string& text);

// The log file of the local date: log_dir & yyyymmdd & ".log".
std::string LogFilePath(const std::string& log_dir, const Clock& clock);

// Appends "dd mm yy hh:mm:ss " & text to today's log when flag is 1. A file that cannot be
// opened or written raises MailvaneError (nothing is retried).
void WriteLog(FileSystem& files, const Clock& clock, const std::string& log_dir,
              const std::string& text, int flag);

// Creates the spool folder when it does not exist; ignores every error.
void EnsureSpoolFolder(FileSystem& files, const std::string& log_dir);

// One call of the housekeeping tick: adds 1 to *sweep_counter and, when it reaches 360, sets it to
// 0 and sweeps (the 359th call after LoadSettings set it to 1, then every 360th). The sweep deletes
// the ".log" files of log_dir (any letter case, not sub-folders) whose modification date lies
// log_days or more calendar days away, before or after today (local dates; the time of day plays
// no part). log_days is read with ToWholeNumber: empty or not a whole number deletes nothing.
// Stops at the first error (a missing log_dir, a file that cannot be deleted) and raises it as
// MailvaneError naming the path; the files not yet visited wait for the next sweep.
void PurgeOldLogs(FileSystem& files, const Clock& clock, const std::string& log_dir,
                  const std::string& log_days, int* sweep_counter);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_LOG_H_
