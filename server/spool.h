// Spool file names: year, month, day, hour, minute and second of the local time without leading
// zeros, ".", the spool message counter, ".msg" (2009125973.17.msg). The date part alone can be
// ambiguous; the counter keeps one run's names apart, and a name already taken (on disk, or by a
// write under way) is never reused: counting goes on until the name is free.
#ifndef MAILVANE_SERVER_SPOOL_H_
#define MAILVANE_SERVER_SPOOL_H_

#include <string>

#include "platform/loop/clock.h"

namespace mailvane {

std::string SpoolFileName(const LocalDateTime& time, long long counter);

// The name a spool file is written under before it is complete; the handler ignores it, since it
// does not end in ".msg".
std::string SpoolTempName(const std::string& final_name);
bool IsSpoolTempName(const std::string& name);

}  // namespace mailvane

#endif  // MAILVANE_SERVER_SPOOL_H_
