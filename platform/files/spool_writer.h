// Durable writes off the loop thread: a small pool runs FileSystem::WriteFileDurably for each
// file and posts the result back to the loop, so that a slow disk never stalls the other
// sessions. Called on the loop thread.
#ifndef MAILVANE_PLATFORM_FILES_SPOOL_WRITER_H_
#define MAILVANE_PLATFORM_FILES_SPOOL_WRITER_H_

#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace mailvane {

class EventLoop;
class FileSystem;

class SpoolWriter {
 public:
  SpoolWriter() = default;
  SpoolWriter(const SpoolWriter&) = delete;
  SpoolWriter& operator=(const SpoolWriter&) = delete;
  // Waits for the writes under way; their completions are not delivered.
  virtual ~SpoolWriter() = default;

  // FileSystem::WriteFileDurably of a spool file (owner and group may read it); done runs on the
  // loop thread with its result (EEXIST when final_name was taken meanwhile). Success alone means
  // the file and its name are on disk; after any failure no file of final_name was left.
  virtual void Write(std::string folder, std::string temp_name, std::string final_name,
                     std::string data, std::function<void(std::error_code)> done) = 0;
};

// files must allow WriteFileDurably on `threads` threads at once (the POSIX file system does; give
// a FakeFileSystem one thread) and outlive the writer.
std::unique_ptr<SpoolWriter> NewThreadPoolSpoolWriter(EventLoop& loop, FileSystem& files,
                                                      int threads = 4);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_FILES_SPOOL_WRITER_H_
