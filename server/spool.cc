#include "server/spool.h"

namespace mailvane {

std::string SpoolFileName(const LocalDateTime& t, long long counter) {
  return std::to_string(t.year) + std::to_string(t.month) + std::to_string(t.day) +
         std::to_string(t.hour) + std::to_string(t.minute) + std::to_string(t.second) + "." +
         std::to_string(counter) + ".msg";
}

std::string SpoolTempName(const std::string& final_name) { return "." + final_name + ".tmp"; }

bool IsSpoolTempName(const std::string& name) {
  return name.size() > 9 && name.front() == '.' &&
         name.compare(name.size() - 8, 8, ".msg.tmp") == 0;
}

}  // namespace mailvane
