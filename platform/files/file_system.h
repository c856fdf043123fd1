// The file operations Mailvane performs, in place of the platform's file-system object. Paths are
// plain strings as Mailvane builds them. Results are std::error_code values in the generic
// (errno) category; an empty code is success, and no caller may drop one unread. One thread at a
// time per object, except that the POSIX file system's FileExists, WriteFileDurably,
// WriteFilesSynced, SyncFolder and DeleteFile may run on several threads at once, beside any other
// call (they use no state of the object).
#ifndef MAILVANE_PLATFORM_FILES_FILE_SYSTEM_H_
#define MAILVANE_PLATFORM_FILES_FILE_SYSTEM_H_

#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/loop/clock.h"

namespace mailvane {

struct FileInfo {
  std::string name;    // the name within its folder
  TimePoint modified;  // last modification time
};

// One file of a durable write of several: its contents and the names it is written under.
struct FileWrite {
  std::string temp_name;
  std::string final_name;
  std::string data;
};

// Who may read a file that a durable write creates.
enum class FileReaders {
  kOwnerAndGroup,  // 0640: spool files, which the handler reads
  kOwnerOnly,      // 0600: secrets
  kEveryone,       // 0644: files the service manager and administrators read (the unit)
};

class FileSystem {
 public:
  FileSystem() = default;
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;
  virtual ~FileSystem() = default;

  // Appends text and CR LF to the file, creating it (owner and group may read) when missing. The
  // line reaches the file in one append write, so lines of several processes never interleave.
  // Lines to one path may go on reaching the file it named at the first of them while that file
  // has a name; one removed, or replaced by a rename, is created anew.
  [[nodiscard]] virtual std::error_code AppendLine(const std::string& path,
                                                   std::string_view text) = 0;

  virtual bool FolderExists(const std::string& path) = 0;
  virtual bool FileExists(const std::string& path) = 0;
  // Creates one folder level; the parent must exist.
  [[nodiscard]] virtual std::error_code CreateFolder(const std::string& path) = 0;
  // The regular files directly in the folder (not sub-folders, links or devices), in the order the
  // system lists them. *files is empty on failure.
  [[nodiscard]] virtual std::error_code ListFiles(const std::string& folder,
                                                  std::vector<FileInfo>* files) = 0;
  [[nodiscard]] virtual std::error_code DeleteFile(const std::string& path) = 0;

  // Writes data durably as folder/final_name: into folder/temp_name first (created with the
  // mode of readers), synced, then renamed to final_name without replacing an existing file
  // (EEXIST then), and the folder synced. On any failure the temporary file is removed and
  // final_name is untouched (a final name whose folder could not be synced is removed again), so
  // success alone means the file exists. A temp_name that exists already fails with EEXIST and
  // is left alone. This is the one durable write: everything that hands a file over uses it.
  [[nodiscard]] virtual std::error_code WriteFileDurably(const std::string& folder,
                                                         const std::string& temp_name,
                                                         const std::string& final_name,
                                                         std::string_view data,
                                                         FileReaders readers) = 0;
  // WriteFileDurably for several files less the folder sync, for writers that share one folder
  // sync among many files. Every file is written and synced before the first takes its final
  // name, and they take their names in order, without replacing (EEXIST). Where the file system
  // allows, a file is written unnamed and linked into place once synced (temp_name unused, and a
  // write cut off by a crash leaves nothing); elsewhere it goes through temp_name as in
  // WriteFileDurably. On success the files are synced under their final names, but the names may
  // not survive a crash until a later SyncFolder succeeds; on failure none of the final names and
  // no temporary of this write is left. SyncFolder makes the names created or removed in the
  // folder durable.
  [[nodiscard]] virtual std::error_code WriteFilesSynced(const std::string& folder,
                                                         const std::vector<FileWrite>& files,
                                                         FileReaders readers) = 0;
  [[nodiscard]] virtual std::error_code SyncFolder(const std::string& folder) = 0;

  // As WriteFileDurably, but final_name is replaced when it exists (a stale temp_name too). A
  // replaced file keeps its owner and group where the caller may give them (root rewriting
  // another user's file); that is best effort and never a failure.
  [[nodiscard]] virtual std::error_code ReplaceFileDurably(const std::string& folder,
                                                           const std::string& temp_name,
                                                           const std::string& final_name,
                                                           std::string_view data,
                                                           FileReaders readers) = 0;
  // The whole file into *contents; EFBIG when it is larger than max_size.
  [[nodiscard]] virtual std::error_code ReadFile(const std::string& path, size_t max_size,
                                                 std::string* contents) = 0;

  [[nodiscard]] virtual std::error_code SetCurrentFolder(const std::string& path) = 0;
};

std::unique_ptr<FileSystem> NewPosixFileSystem();

// The folder of the running program (from /proc/self/exe), with no trailing "/" (unless it is the
// root); empty when the system cannot tell.
std::string ProgramFolder();

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_FILES_FILE_SYSTEM_H_
