#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/files/file_lock.h"

namespace mailvane {
namespace {

class PosixFileLock final : public FileLock {
 public:
  explicit PosixFileLock(std::string path) : path_(std::move(path)) {}
  ~PosixFileLock() override {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }

  bool TryAcquire() override {
    if (held_) return true;
    if (fd_ < 0) {
      fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd_ < 0) return false;
    }
    held_ = flock(fd_, LOCK_EX | LOCK_NB) == 0;
    return held_;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace

std::unique_ptr<FileLock> NewPosixFileLock(const std::string& path) {
  return std::make_unique<PosixFileLock>(path);
}

}  // namespace mailvane
