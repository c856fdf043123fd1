#include "common/spool_queue.h"

#include <algorithm>
#include <set>

#include "common/spool.h"

namespace mailvane {

std::vector<FileWrite> SpoolMailFiles(std::optional<std::string> envelope, std::string data) {
  std::vector<FileWrite> files;
  if (envelope) files.push_back({"", "", std::move(*envelope)});
  files.push_back({"", "", std::move(data)});
  return files;
}

std::vector<std::string> NameSpoolMail(std::string_view name, bool earlier_records,
                                       std::vector<FileWrite>* files) {
  const bool with_record = files->size() == 2;
  std::vector<std::string> absent;
  if (earlier_records) {
    absent.push_back(ServedRecordName(name));
    if (!with_record) absent.push_back(EnvelopeRecordName(name));
  }
  if (with_record) {
    const std::string record = EnvelopeRecordName(name);
    files->front().temp_name = SpoolTempName(record);
    files->front().final_name = record;
  }
  files->back().temp_name = SpoolTempName(name);
  files->back().final_name = std::string(name);
  return absent;
}

std::optional<long long> RemoveServerLeftovers(FileSystem& files, const std::string& folder) {
  // Files a crashed run was still writing were never acknowledged: their clients still hold the
  // mails. An envelope record alone is left by a write that failed half-way, or by a handler that
  // ended between the deletions of RemoveMessage. Nothing else writes such names while the server
  // has not started listening.
  std::vector<FileInfo> listed;
  if (files.ListFiles(folder, &listed)) return std::nullopt;
  std::set<std::string_view> names;
  long long highest = 0;
  for (const FileInfo& file : listed) {
    names.insert(file.name);
    highest = std::max(highest, SpoolCounterOf(file.name));
  }
  for (const FileInfo& file : listed) {
    std::string_view spool = SpoolNameOfEnvelopeRecord(file.name);
    if (IsServerTempName(file.name) || (!spool.empty() && names.count(spool) == 0)) {
      // One that stays is tried again at the next start; it holds no accepted mail.
      (void)files.DeleteFile(folder + file.name);
    }
  }
  return highest;
}

void RemoveHandlerLeftovers(FileSystem& files, const std::string& folder,
                            const std::vector<FileInfo>& listed) {
  // The caller holds the folder and writes records only in a pass, never during a scan: a
  // temporary record listed now was left by a handler that ended while writing it. A served
  // record without its spool file was left by one that ended inside RemoveMessage; it would hold
  // its name back from new spool files. Failed removals are tried again at the next sweep.
  std::set<std::string_view> names;
  for (const FileInfo& file : listed) names.insert(file.name);
  for (const FileInfo& file : listed) {
    std::string_view spool = SpoolNameOfServedRecord(file.name);
    if (IsHandlerTempName(file.name) || (!spool.empty() && names.count(spool) == 0)) {
      (void)files.DeleteFile(folder + file.name);
    }
  }
}

std::error_code WriteServedRecord(FileSystem& files, const std::string& folder,
                                  std::string_view spool_name, std::string_view done_list) {
  const std::string name = ServedRecordName(spool_name);
  return files.ReplaceFileDurably(folder, SpoolTempName(name), name, done_list,
                                  FileReaders::kOwnerAndGroup);
}

std::optional<std::string> ReadServedRecord(FileSystem& files, const std::string& spool_path) {
  std::string text;
  if (files.ReadFile(ServedRecordName(spool_path), kMaxRecordSize, &text)) return std::nullopt;
  return ParseServedRecord(text);
}

std::error_code ReadEnvelopeRecord(FileSystem& files, const std::string& spool_path,
                                   std::vector<std::string>* recipients) {
  std::string text;
  std::error_code error = files.ReadFile(EnvelopeRecordName(spool_path), kMaxRecordSize, &text);
  if (error && error != std::errc::no_such_file_or_directory) return error;
  *recipients = ParseEnvelopeRecord(text);
  return {};
}

std::error_code RemoveMessage(FileSystem& files, const std::string& spool_path,
                              bool served_record) {
  std::error_code error = files.DeleteFile(spool_path);
  if (error && error != std::errc::no_such_file_or_directory) return error;
  // A record that stays is removed as a leftover: the served one by the handler's next scan, the
  // envelope one at the server's next start.
  if (served_record) (void)files.DeleteFile(ServedRecordName(spool_path));
  (void)files.DeleteFile(EnvelopeRecordName(spool_path));
  return error;
}

}  // namespace mailvane
