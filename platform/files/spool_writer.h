// Durable writes off the loop thread: a small pool writes and syncs each file, renames it into
// place without replacing an existing one, syncs the folder, and posts the result back to the
// loop, so that a slow disk never stalls the other sessions. Called on the loop thread.
#ifndef MAILVANE_PLATFORM_FILES_SPOOL_WRITER_H_
#define MAILVANE_PLATFORM_FILES_SPOOL_WRITER_H_

#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace mailvane {

class EventLoop;

class SpoolWriter {
 public:
  SpoolWriter() = default;
  SpoolWriter(const SpoolWriter&) = delete;
  SpoolWriter& operator=(const SpoolWriter&) = delete;
  // Waits for the writes under way; their completions are not delivered.
  virtual ~SpoolWriter() = default;

  // As FileSystem::WriteFileDurably; done runs on the loop thread with the result (EEXIST when
  // final_name was taken meanwhile). A done of success means the file and its name are on disk.
  virtual void Write(std::string folder, std::string temp_name, std::string final_name,
                     std::string data, std::function<void(std::error_code)> done) = 0;
};

std::unique_ptr<SpoolWriter> NewThreadPoolSpoolWriter(EventLoop& loop, int threads = 4);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_FILES_SPOOL_WRITER_H_
