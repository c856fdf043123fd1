// Durable writes off the loop thread: a small pool writes each mail's files (all written, synced,
// then put in place: FileSystem::WriteFilesSynced) and posts the result back to the loop, so that
// a slow disk never stalls the other sessions. The folder sync is shared (group commit): mails
// whose files are in place while a folder sync is under way wait for the next one, which then
// covers them all. Called on the loop thread.
#ifndef MAILVANE_PLATFORM_FILES_SPOOL_WRITER_H_
#define MAILVANE_PLATFORM_FILES_SPOOL_WRITER_H_

#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/files/file_system.h"

namespace mailvane {

class EventLoop;

using SpoolFile = FileWrite;

class SpoolWriter {
 public:
  SpoolWriter() = default;
  SpoolWriter(const SpoolWriter&) = delete;
  SpoolWriter& operator=(const SpoolWriter&) = delete;
  // Waits for the writes under way; their completions are not delivered.
  virtual ~SpoolWriter() = default;

  // Writes the files of one mail into folder (owner and group may read them), all synced before
  // the first takes its final name, which they take in their order, then syncs the folder. done
  // runs on the loop thread with the result: success alone means every file and its name are on
  // disk; after any failure (the folder sync's error for every mail it was to cover, say) none of
  // the final names is left. A name that is taken fails the write with EEXIST and gives the files
  // back to done, data and all, so that the caller can write them under other names: a final name
  // that exists, or any of `absent` (names that must not exist in folder beside the files, checked
  // before anything is written). After any other result the files given back are empty.
  virtual void Write(std::string folder, std::vector<SpoolFile> files,
                     std::vector<std::string> absent,
                     std::function<void(std::error_code, std::vector<SpoolFile>)> done) = 0;

  // Without names that must be absent, and without the files given back.
  void Write(std::string folder, std::vector<SpoolFile> files,
             std::function<void(std::error_code)> done) {
    Write(std::move(folder), std::move(files), {},
          [done = std::move(done)](std::error_code error, std::vector<SpoolFile>) {
            if (done) done(error);
          });
  }

  // One file.
  void Write(std::string folder, std::string temp_name, std::string final_name, std::string data,
             std::function<void(std::error_code)> done) {
    std::vector<SpoolFile> files;
    files.push_back({std::move(temp_name), std::move(final_name), std::move(data)});
    Write(std::move(folder), std::move(files), std::move(done));
  }
};

// files must allow FileExists, WriteFilesSynced, SyncFolder and DeleteFile on `threads` threads at
// once (the POSIX file system does; give a FakeFileSystem one thread) and outlive the writer. A
// disk takes the syncs of several mails at once, so there are threads for about as many mails as a
// few busy sessions finish together. Where writes are quick (a memory file system), a job goes to a
// thread already awake rather than waking another.
std::unique_ptr<SpoolWriter> NewThreadPoolSpoolWriter(EventLoop& loop, FileSystem& files,
                                                      int threads = 8);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_FILES_SPOOL_WRITER_H_
