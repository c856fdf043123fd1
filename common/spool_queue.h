// Every operation on the spool folder's files, for both programs, in the order that keeps the
// folder consistent across a crash at any point:
// - a mail goes in as its envelope record (when it has one), then its spool file, so a reader
//   that sees the spool file sees its record too;
// - a message goes out as its spool file, then its records, so a record may outlive its file
//   (swept later) but a file never loses its records while it can still be served;
// - leftovers are removed by the program that wrote them: the server its temporaries and the
//   envelope records that stand alone, at start before it listens; the handler its temporary
//   served records and the served records that stand alone, in a scan.
// folder is the spool folder with its trailing "/" (SpoolFolderPrefix); spool_path is folder &
// a spool file's name. Loop thread of the program that owns the files.
#ifndef MAILVANE_COMMON_SPOOL_QUEUE_H_
#define MAILVANE_COMMON_SPOOL_QUEUE_H_

#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/files/file_system.h"

namespace mailvane {

// The files of one mail, as FileSystem::WriteFilesSynced and the spool writer take them: the
// envelope record first when there is one, the spool file last.
std::vector<FileWrite> SpoolMailFiles(std::optional<std::string> envelope, std::string data);
// Puts the files of one mail under the spool name `name` and gives the names that must not exist
// beside them: records an earlier run left under the name would be taken for this mail's, so
// where the folder may hold such (earlier_records), the served record, and the envelope record
// when the mail has none, must be absent.
std::vector<std::string> NameSpoolMail(std::string_view name, bool earlier_records,
                                       std::vector<FileWrite>* files);

// The server's start: removes its temporaries and the envelope records whose spool file is gone.
// Returns the highest spool counter among the names listed, nullopt when the folder could not be
// listed (nothing is removed then). Removals that fail are left for the next start.
std::optional<long long> RemoveServerLeftovers(FileSystem& files, const std::string& folder);

// The handler's sweep over a listing: removes its temporary served records, and the served
// records whose spool file is not listed.
void RemoveHandlerLeftovers(FileSystem& files, const std::string& folder,
                            const std::vector<FileInfo>& listed);

// The served-recipient record beside a spool file: written durably, replacing the last; read back
// as a DoneList, nullopt when there is none or it is not ours.
[[nodiscard]] std::error_code WriteServedRecord(FileSystem& files, const std::string& folder,
                                                std::string_view spool_name,
                                                std::string_view done_list);
std::optional<std::string> ReadServedRecord(FileSystem& files, const std::string& spool_path);
// The envelope's recipients; none when there is no record (its headers name them all). An error
// other than a missing record is returned and *recipients is left alone.
[[nodiscard]] std::error_code ReadEnvelopeRecord(FileSystem& files, const std::string& spool_path,
                                                 std::vector<std::string>* recipients);

// Removes a message whose recipients are all done (served, failed for good, expired or
// cancelled): the spool file, then its records. A spool file that cannot be deleted keeps its
// records, and its error is returned; one already gone (ENOENT, returned too) has its records
// removed. served_record false spares the removal of a record the caller knows is absent.
[[nodiscard]] std::error_code RemoveMessage(FileSystem& files, const std::string& spool_path,
                                            bool served_record = true);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_SPOOL_QUEUE_H_
