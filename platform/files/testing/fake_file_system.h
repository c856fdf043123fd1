// An in-memory FileSystem for tests: folders and files with settable modification times, fault
// injection (fail the Nth call of an operation with an errno, make a folder unwritable) and
// access to the contents for assertions. Paths are normalised ("//" and a trailing "/" do not
// count); a relative path is taken relative to the current folder, which starts as "/". Results
// carry the errno a POSIX system would give (ENOENT, ENOTDIR, EEXIST, EISDIR, EACCES).
#ifndef MAILVANE_PLATFORM_FILES_TESTING_FAKE_FILE_SYSTEM_H_
#define MAILVANE_PLATFORM_FILES_TESTING_FAKE_FILE_SYSTEM_H_

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/files/file_system.h"

namespace mailvane {

class FakeFileSystem final : public FileSystem {
 public:
  // Files written through the interface get clock->Now() as their modification time (the epoch
  // without a clock).
  explicit FakeFileSystem(const Clock* clock = nullptr);

  // Setting up. AddFolder creates missing parents; AddFile creates its folder as well.
  void AddFolder(const std::string& path);
  void AddFile(const std::string& path, std::string contents, TimePoint modified = TimePoint());
  void SetModified(const std::string& path, TimePoint modified);
  // Creating, writing and deleting directly in the folder fail with EACCES while unwritable.
  void SetFolderWritable(const std::string& path, bool writable);

  // Fault injection: the nth call from now (1 = the next) fails with the errno and changes
  // nothing. One pending fault per operation; a new one replaces it.
  void FailAppendLine(int nth, int error);
  void FailWriteFileDurably(int nth, int error);
  void FailDeleteFile(int nth, int error);
  void FailSyncFolder(int nth, int error);
  // Runs at the start of every SyncFolder, on the thread that calls it.
  void OnSyncFolder(std::function<void()> hook) { sync_hook_ = std::move(hook); }

  // Inspection.
  std::optional<std::string> Contents(const std::string& path) const;
  std::vector<std::string> FileNames(const std::string& folder) const;  // sorted
  const std::string& current_folder() const { return current_; }
  int append_calls() const { return append_calls_; }
  int delete_calls() const { return delete_calls_; }
  int sync_calls() const { return sync_calls_; }
  // The path as this fake stores it (absolute, normalised).
  std::string Normalise(const std::string& path) const;

  // FileSystem.
  std::error_code AppendLine(const std::string& path, std::string_view text) override;
  bool FolderExists(const std::string& path) override;
  bool FileExists(const std::string& path) override;
  std::error_code CreateFolder(const std::string& path) override;
  std::error_code ListFiles(const std::string& folder, std::vector<FileInfo>* files) override;
  std::error_code DeleteFile(const std::string& path) override;
  std::error_code ReplaceFileDurably(const std::string& folder, const std::string& temp_name,
                                     const std::string& final_name, std::string_view data,
                                     FileReaders readers) override;
  std::error_code ReadFile(const std::string& path, size_t max_size,
                           std::string* contents) override;
  // Keeps no file modes: readers is not looked at.
  std::error_code WriteFileDurably(const std::string& folder, const std::string& temp_name,
                                   const std::string& final_name, std::string_view data,
                                   FileReaders readers) override;
  // The files one after another as WriteFileDurably writes one, less the folder sync, as unnamed
  // files are (temp_name is not looked at); each file counts as one WriteFileDurably for its
  // faults, and a failing one takes back those placed before it.
  std::error_code WriteFilesSynced(const std::string& folder, const std::vector<FileWrite>& files,
                                   FileReaders readers) override;
  std::error_code SyncFolder(const std::string& folder) override;
  std::error_code SetCurrentFolder(const std::string& path) override;

 private:
  struct Node {
    bool folder = false;
    bool writable = true;
    std::string contents;
    TimePoint modified;
  };
  struct Fault {
    int countdown = 0;  // 0: none pending
    int error = 0;
  };

  static std::string Parent(const std::string& normalised);
  static bool TakeFault(Fault* fault, int* error);
  // 0 when a file may be created, written or removed in the folder of the normalised path.
  int CheckParent(const std::string& normalised) const;
  std::error_code WriteDurably(const std::string& folder, const std::string& temp_name,
                               const std::string& final_name, std::string_view data, bool replace,
                               bool check_temp = true);
  TimePoint Now() const;

  const Clock* clock_;
  std::map<std::string, Node> nodes_;
  std::string current_ = "/";
  Fault append_fault_, write_fault_, delete_fault_, sync_fault_;
  std::function<void()> sync_hook_;
  int sync_calls_ = 0;
  int append_calls_ = 0;
  int delete_calls_ = 0;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_FILES_TESTING_FAKE_FILE_SYSTEM_H_
