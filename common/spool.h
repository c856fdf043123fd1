// The spool folder and every name in it, for both programs. The server writes a spool file
// (2009125973.17.msg: local year, month, day, hour, minute and second without leading zeros, ".",
// the spool counter, ".msg") and, before it, the file's envelope record (its name & ".env", the
// RCPT TO recipients one per line) unless its To and Cc headers surely name them all. The
// handler writes the served-recipient record (the spool file's name & ".done", a DoneList such as
// "1:3:") and deletes the spool file, then its records.
// Each of these files is written under its temporary name ("." & name & ".tmp"), which no reader
// takes up, and renamed into place; the server writes its files unnamed instead where the file
// system allows, and links them into place.
#ifndef MAILVANE_COMMON_SPOOL_H_
#define MAILVANE_COMMON_SPOOL_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/loop/clock.h"

namespace mailvane {

inline constexpr char kServedSuffix[] = ".done";
inline constexpr char kEnvelopeSuffix[] = ".env";
// The handlers' lock file, which excludes a second handler from the folder.
inline constexpr char kSpoolLockName[] = ".vanequeue.lock";
// Records are small; anything larger is not one of ours.
inline constexpr size_t kMaxRecordSize = 1024 * 1024;

// The spool folder: log_dir & "messages" (no trailing separator), and the prefix of its paths,
// log_dir & "messages/".
std::string SpoolFolder(const std::string& log_dir);
std::string SpoolFolderPrefix(const std::string& log_dir);

std::string SpoolFileName(const LocalDateTime& time, long long counter);
// The spool counter of a name SpoolFileName could have made, or of a record or temporary named
// after one: the digits between ".msg" (where it first appears, in any letter case) and the "."
// before them. 0 for a name that carries none; a counter too large to hold counts as the largest.
long long SpoolCounterOf(std::string_view name);
// A spool file: a name ending in ".msg" in any letter case.
bool IsSpoolFileName(std::string_view name);

std::string ServedRecordName(std::string_view spool_name);
std::string EnvelopeRecordName(std::string_view spool_name);
// The spool file name a record name belongs to; empty when the name is no such record.
std::string_view SpoolNameOfServedRecord(std::string_view name);
std::string_view SpoolNameOfEnvelopeRecord(std::string_view name);

std::string SpoolTempName(std::string_view final_name);
// Temporary names by their writer: the server's (spool files and envelope records) and the
// handler's (served-recipient records). Each program removes only its own leftovers.
bool IsServerTempName(std::string_view name);
bool IsHandlerTempName(std::string_view name);

// The envelope record: each recipient and "\n". Reading takes lines ended by "\n" or "\r\n" and
// skips empty ones.
std::string EnvelopeRecordText(const std::vector<std::string>& recipients);
std::vector<std::string> ParseEnvelopeRecord(std::string_view text);

// A served-recipient record holds a DoneList ("1:3:", digits and ":" only); anything else is
// nullopt.
std::optional<std::string> ParseServedRecord(std::string_view text);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_SPOOL_H_
