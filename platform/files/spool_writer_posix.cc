// SpoolWriter on a pool of threads. Each job: the temporary file is created exclusively (0640),
// written whole, synced and closed; renamed into place with RENAME_NOREPLACE (link and unlink
// where the file system lacks it); then the folder is synced. Any failure before the rename
// removes the temporary file. The result goes back to the loop with EventLoop::Post.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/files/spool_writer.h"
#include "platform/loop/event_loop.h"

namespace mailvane {
namespace {

std::error_code Errno(int number) { return std::error_code(number, std::generic_category()); }

int RetryClose(int fd) {
  // close is not retried on EINTR on Linux: the descriptor is gone either way.
  return close(fd) == 0 ? 0 : (errno == EINTR ? 0 : errno);
}

int WriteAll(int fd, const std::string& data) {
  const char* next = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t written = write(fd, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    next += written;
    left -= static_cast<size_t>(written);
  }
  return 0;
}

int RenameNoReplace(int folder_fd, const std::string& from, const std::string& to) {
  if (renameat2(folder_fd, from.c_str(), folder_fd, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int error = errno;
  if (error != EINVAL && error != ENOSYS && error != ENOTSUP) return error;
  // No RENAME_NOREPLACE here: link fails with EEXIST just the same when the name is taken.
  if (linkat(folder_fd, from.c_str(), folder_fd, to.c_str(), 0) != 0) return errno;
  unlinkat(folder_fd, from.c_str(), 0);
  return 0;
}

std::error_code WriteDurably(const std::string& folder, const std::string& temp_name,
                             const std::string& final_name, const std::string& data) {
  int folder_fd = open(folder.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
  if (folder_fd < 0) return Errno(errno);
  int error = 0;
  int fd = openat(folder_fd, temp_name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0640);
  if (fd < 0) {
    error = errno;
    RetryClose(folder_fd);
    return Errno(error);  // the temporary name is someone else's: nothing to remove
  }
  error = WriteAll(fd, data);
  if (error == 0 && fsync(fd) != 0) error = errno;
  int close_error = RetryClose(fd);
  if (error == 0) error = close_error;
  if (error == 0) error = RenameNoReplace(folder_fd, temp_name, final_name);
  if (error != 0) {
    unlinkat(folder_fd, temp_name.c_str(), 0);
  } else if (fsync(folder_fd) != 0) {
    // The file is in place but its name may not survive a crash: not a success.
    error = errno;
  }
  RetryClose(folder_fd);
  return Errno(error);
}

struct Job {
  std::string folder;
  std::string temp_name;
  std::string final_name;
  std::string data;
  std::function<void(std::error_code)> done;
};

class ThreadPoolSpoolWriter final : public SpoolWriter {
 public:
  ThreadPoolSpoolWriter(EventLoop& loop, int threads)
      : loop_(loop), alive_(std::make_shared<std::atomic<bool>>(true)) {
    if (threads < 1) threads = 1;
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
  }

  // Jobs not yet started are dropped; jobs under way finish, and no completion is delivered.
  ~ThreadPoolSpoolWriter() override {
    alive_->store(false);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      jobs_.clear();
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  void Write(std::string folder, std::string temp_name, std::string final_name, std::string data,
             std::function<void(std::error_code)> done) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(Job{std::move(folder), std::move(temp_name), std::move(final_name),
                          std::move(data), std::move(done)});
    }
    wake_.notify_one();
  }

 private:
  void Work() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      std::error_code result = WriteDurably(job.folder, job.temp_name, job.final_name, job.data);
      std::string().swap(job.data);
      loop_.Post([alive = alive_, done = std::move(job.done), result] {
        if (alive->load() && done) done(result);
      });
    }
  }

  EventLoop& loop_;
  std::shared_ptr<std::atomic<bool>> alive_;  // false once the writer is being destroyed
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

std::unique_ptr<SpoolWriter> NewThreadPoolSpoolWriter(EventLoop& loop, int threads) {
  return std::make_unique<ThreadPoolSpoolWriter>(loop, threads);
}

}  // namespace mailvane
