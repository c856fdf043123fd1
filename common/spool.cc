#include "common/spool.h"

#include <limits>

#include "platform/base/ascii.h"

namespace mailvane {
namespace {

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

std::string_view Strip(std::string_view name, std::string_view suffix) {
  if (!EndsWith(name, suffix) || name.size() == suffix.size()) return {};
  std::string_view spool = name.substr(0, name.size() - suffix.size());
  return IsSpoolFileName(spool) ? spool : std::string_view();
}

// The final name inside a temporary name, or empty.
std::string_view FinalNameOfTemp(std::string_view name) {
  if (name.size() < 6 || name.front() != '.' || !EndsWith(name, ".tmp")) return {};
  return name.substr(1, name.size() - 5);
}

}  // namespace

std::string SpoolFolder(const std::string& log_dir) { return log_dir + "messages"; }

std::string SpoolFolderPrefix(const std::string& log_dir) { return log_dir + "messages/"; }

std::string SpoolFileName(const LocalDateTime& t, long long counter) {
  return std::to_string(t.year) + std::to_string(t.month) + std::to_string(t.day) +
         std::to_string(t.hour) + std::to_string(t.minute) + std::to_string(t.second) + "." +
         std::to_string(counter) + ".msg";
}

long long SpoolCounterOf(std::string_view name) {
  // In any letter case: on a file system that ignores case, "1.2.MSG" takes the name "1.2.msg".
  size_t end = 1;
  while (end + 4 <= name.size() && !EqualsIgnoringAsciiCase(name.substr(end, 4), ".msg")) ++end;
  if (end + 4 > name.size()) return 0;
  const size_t dot = name.rfind('.', end - 1);
  if (dot == std::string_view::npos || dot + 1 == end) return 0;
  long long counter = 0;
  for (char c : name.substr(dot + 1, end - dot - 1)) {
    if (c < '0' || c > '9') return 0;
    if (counter > (std::numeric_limits<long long>::max() - (c - '0')) / 10)
      return std::numeric_limits<long long>::max();
    counter = counter * 10 + (c - '0');
  }
  return counter;
}

bool IsSpoolFileName(std::string_view name) { return EndsWithIgnoringAsciiCase(name, ".msg"); }

std::string ServedRecordName(std::string_view spool_name) {
  return std::string(spool_name) + kServedSuffix;
}

std::string EnvelopeRecordName(std::string_view spool_name) {
  return std::string(spool_name) + kEnvelopeSuffix;
}

std::string_view SpoolNameOfServedRecord(std::string_view name) {
  return Strip(name, kServedSuffix);
}

std::string_view SpoolNameOfEnvelopeRecord(std::string_view name) {
  return Strip(name, kEnvelopeSuffix);
}

std::string SpoolTempName(std::string_view final_name) {
  return "." + std::string(final_name) + ".tmp";
}

bool IsServerTempName(std::string_view name) {
  std::string_view final_name = FinalNameOfTemp(name);
  return IsSpoolFileName(final_name) || !SpoolNameOfEnvelopeRecord(final_name).empty();
}

bool IsHandlerTempName(std::string_view name) {
  return !SpoolNameOfServedRecord(FinalNameOfTemp(name)).empty();
}

std::string EnvelopeRecordText(const std::vector<std::string>& recipients) {
  std::string text;
  for (const std::string& recipient : recipients) text += recipient + "\n";
  return text;
}

std::vector<std::string> ParseEnvelopeRecord(std::string_view text) {
  std::vector<std::string> recipients;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) recipients.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return recipients;
}

std::optional<std::string> ParseServedRecord(std::string_view text) {
  for (char c : text) {
    if ((c < '0' || c > '9') && c != ':') return std::nullopt;
  }
  return std::string(text);
}

}  // namespace mailvane
