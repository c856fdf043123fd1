// An advisory lock on a file, held by at most one process at a time and released when the holder
// ends (however it ends). One thread at a time per object.
#ifndef MAILVANE_PLATFORM_FILES_FILE_LOCK_H_
#define MAILVANE_PLATFORM_FILES_FILE_LOCK_H_

#include <memory>
#include <string>

namespace mailvane {

class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  virtual ~FileLock() = default;

  // Takes the lock without waiting; true when this object holds it (now or already).
  virtual bool TryAcquire() = 0;
};

// A lock on the file at path, created (owner may read and write) when missing.
std::unique_ptr<FileLock> NewPosixFileLock(const std::string& path);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_FILES_FILE_LOCK_H_
