// SpoolWriter on a pool of threads. Each job writes one mail's files with
// FileSystem::WriteFilesSynced; the first thread to finish while no folder sync is under way
// becomes the syncer: it syncs the folder for every mail waiting, then again for those that came
// meanwhile, until none waits, and posts each group's results back to the loop at once.
// Waking a sleeping thread costs more than a quick write: while the recent jobs took less than
// kQuickJob, a new job is left to a thread that is awake, which takes it up before it sleeps.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/files/file_system.h"
#include "platform/files/spool_writer.h"
#include "platform/loop/event_loop.h"

namespace mailvane {
namespace {

using Clock = std::chrono::steady_clock;
// Below this (a memory file system, or a disk's cache that needs no sync) a job is quick.
constexpr Clock::duration kQuickJob = std::chrono::microseconds(100);

struct Job {
  std::string folder;
  std::vector<SpoolFile> files;
  std::vector<std::string> absent;
  std::function<void(std::error_code, std::vector<SpoolFile>)> done;
  std::error_code result;
  bool give_back = false;  // a name was taken: the files go back to done, data and all
};

bool Taken(const std::error_code& error) { return error.value() == EEXIST; }

class ThreadPoolSpoolWriter final : public SpoolWriter {
 public:
  ThreadPoolSpoolWriter(EventLoop& loop, FileSystem& files, int threads)
      : loop_(loop),
        files_(files),
        alive_(std::make_shared<std::atomic<bool>>(true)),
        thread_count_(threads < 1 ? 1 : threads),
        awake_(thread_count_) {
    for (int i = 0; i < thread_count_; ++i) threads_.emplace_back([this] { Work(); });
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

  using SpoolWriter::Write;
  void Write(std::string folder, std::vector<SpoolFile> files, std::vector<std::string> absent,
             std::function<void(std::error_code, std::vector<SpoolFile>)> done) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(
          Job{std::move(folder), std::move(files), std::move(absent), std::move(done), {}, false});
      // A thread awake looks at the jobs before it sleeps.
      if (awake_ > 0 && recent_job_ < kQuickJob) return;
    }
    wake_.notify_one();
  }

 private:
  void Work() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_ && jobs_.empty()) {
          --awake_;
          wake_.wait(lock);
          ++awake_;
        }
        if (stopping_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job.result = WriteFiles(job);
      job.give_back = Taken(job.result);
      if (!job.give_back) FreeData(job);
      if (job.result) {
        std::vector<Job> alone;
        alone.push_back(std::move(job));
        Deliver(std::move(alone));
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        awaiting_.push_back(std::move(job));
        if (syncing_) continue;  // the sync under way is followed by one that covers it
        syncing_ = true;
      }
      SyncWhileAwaited();
    }
  }

  std::error_code WriteFiles(const Job& job) {
    const Clock::time_point start = Clock::now();
    std::error_code result;
    for (const std::string& name : job.absent) {
      if (files_.FileExists(job.folder + "/" + name))
        result = std::error_code(EEXIST, std::generic_category());
    }
    if (!result)
      result = files_.WriteFilesSynced(job.folder, job.files, FileReaders::kOwnerAndGroup);
    NoteDuration(Clock::now() - start);
    return result;
  }

  // Written files need their data no longer; a mail waiting for the folder sync holds none.
  static void FreeData(Job& job) {
    for (SpoolFile& file : job.files) std::string().swap(file.data);
  }

  std::error_code SyncFolder(const std::string& folder) {
    const Clock::time_point start = Clock::now();
    std::error_code result = files_.SyncFolder(folder);
    NoteDuration(Clock::now() - start);
    return result;
  }

  // The last write or sync counts for one eighth: a disk that turns slow is noticed within a few.
  void NoteDuration(Clock::duration took) {
    std::lock_guard<std::mutex> lock(mutex_);
    recent_job_ += (took - recent_job_) / 8;
  }

  // Removes the job's files, the last written first.
  void RemoveWritten(const Job& job) {
    // The write has failed already and its error is what the caller gets; a name this job has
    // just created in a folder it has just written to is removed unless the disk itself fails,
    // which the next write meets and reports.
    for (size_t i = job.files.size(); i > 0; --i)
      (void)files_.DeleteFile(job.folder + "/" + job.files[i - 1].final_name);
  }

  // With one thread, the jobs still queued when a round begins waited while it synced: it writes
  // them itself, so that this round's sync covers them too. With more, the other threads write
  // them, in parallel, while this one syncs.
  void SyncWhileAwaited() {
    for (;;) {
      std::vector<Job> group;
      std::vector<Job> unwritten;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || (awaiting_.empty() && (thread_count_ > 1 || jobs_.empty()))) {
          syncing_ = false;
          return;
        }
        group.swap(awaiting_);
        if (thread_count_ == 1) {
          for (; !jobs_.empty(); jobs_.pop_front()) unwritten.push_back(std::move(jobs_.front()));
        }
      }
      std::vector<bool> written(group.size(), true);  // those taken up while waiting were
      for (Job& job : unwritten) {
        job.result = WriteFiles(job);
        job.give_back = Taken(job.result);
        if (!job.give_back) FreeData(job);
        written.push_back(!job.result);
        group.push_back(std::move(job));
      }
      std::map<std::string, std::error_code> synced;  // one sync per folder of the group
      for (size_t i = 0; i < group.size(); ++i) {
        if (!written[i]) continue;
        Job& job = group[i];
        auto found = synced.find(job.folder);
        if (found == synced.end()) found = synced.emplace(job.folder, SyncFolder(job.folder)).first;
        job.result = found->second;
        // The names may not be on disk: take them back, so that a failure means "no file".
        if (job.result) RemoveWritten(job);
      }
      if (!group.empty()) Deliver(std::move(group));
    }
  }

  void Deliver(std::vector<Job> jobs) {
    loop_.Post([alive = alive_, jobs = std::move(jobs)]() mutable {
      for (Job& job : jobs) {
        if (!alive->load()) return;
        if (!job.give_back) job.files.clear();
        if (job.done) job.done(job.result, std::move(job.files));
      }
    });
  }

  EventLoop& loop_;
  FileSystem& files_;
  std::shared_ptr<std::atomic<bool>> alive_;  // false once the writer is being destroyed
  const int thread_count_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::vector<Job> awaiting_;  // files in place, waiting for the folder sync
  bool syncing_ = false;       // a thread is syncing the folder for a group
  bool stopping_ = false;
  int awake_;  // threads not waiting for a job
  // How long a write or a folder sync took lately; a new writer expects a disk.
  Clock::duration recent_job_ = kQuickJob;
  std::vector<std::thread> threads_;
};

}  // namespace

std::unique_ptr<SpoolWriter> NewThreadPoolSpoolWriter(EventLoop& loop, FileSystem& files,
                                                      int threads) {
  return std::make_unique<ThreadPoolSpoolWriter>(loop, files, threads);
}

}  // namespace mailvane
