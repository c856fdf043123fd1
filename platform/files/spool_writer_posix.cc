// SpoolWriter on a pool of threads, each job one FileSystem::WriteFileDurably; the result goes
// back to the loop with EventLoop::Post.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/files/file_system.h"
#include "platform/files/spool_writer.h"
#include "platform/loop/event_loop.h"

namespace mailvane {
namespace {

struct Job {
  std::string folder;
  std::string temp_name;
  std::string final_name;
  std::string data;
  std::function<void(std::error_code)> done;
};

class ThreadPoolSpoolWriter final : public SpoolWriter {
 public:
  ThreadPoolSpoolWriter(EventLoop& loop, FileSystem& files, int threads)
      : loop_(loop), files_(files), alive_(std::make_shared<std::atomic<bool>>(true)) {
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
      std::error_code result = files_.WriteFileDurably(job.folder, job.temp_name, job.final_name,
                                                       job.data, FileReaders::kOwnerAndGroup);
      std::string().swap(job.data);
      loop_.Post([alive = alive_, done = std::move(job.done), result] {
        if (alive->load() && done) done(result);
      });
    }
  }

  EventLoop& loop_;
  FileSystem& files_;
  std::shared_ptr<std::atomic<bool>> alive_;  // false once the writer is being destroyed
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

std::unique_ptr<SpoolWriter> NewThreadPoolSpoolWriter(EventLoop& loop, FileSystem& files,
                                                      int threads) {
  return std::make_unique<ThreadPoolSpoolWriter>(loop, files, threads);
}

}  // namespace mailvane
