// A lock that a test grants or withholds.
#ifndef MAILVANE_PLATFORM_FILES_TESTING_FAKE_FILE_LOCK_H_
#define MAILVANE_PLATFORM_FILES_TESTING_FAKE_FILE_LOCK_H_

#include "platform/files/file_lock.h"

namespace mailvane {

class FakeFileLock final : public FileLock {
 public:
  bool TryAcquire() override {
    ++attempts_;
    if (available_) held_ = true;
    return held_;
  }
  void set_available(bool available) { available_ = available; }
  int attempts() const { return attempts_; }

 private:
  bool available_ = true;
  bool held_ = false;
  int attempts_ = 0;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_FILES_TESTING_FAKE_FILE_LOCK_H_
