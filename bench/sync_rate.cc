// The rate at which this disk can make files durable the way the server spools them: create a
// temporary file exclusively, write it whole, fsync it, rename it into place without replacing,
// fsync the folder. N writers run at once in one folder (as the server's spool writer threads
// do), each writing up to `count` files, for at most max_seconds. The files go where a server
// installed under <folder> spools them: a fresh <folder>/mailvane-sync-XXXXXX/messages, as the
// benchmark makes a fresh LogDir for every server run, so both meet the file system alike.
//
//   sync_rate <folder> <writers> <count> [size_bytes] [max_seconds] [log]
//
// With "log" as the sixth argument each file is also followed by one line appended (not synced)
// to a daily-log-like file in that LogDir, the spool folder's parent, as the server logs every
// received mail.
//
// Prints one line: writers, files made durable, seconds, files per second. The files and folders
// are removed after the clock has stopped.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool MakeDurable(int folder_fd, const std::string& temp, const std::string& final_name,
                 const std::string& data) {
  int fd = openat(folder_fd, temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  bool ok =
      write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok &&
       renameat2(folder_fd, temp.c_str(), folder_fd, final_name.c_str(), RENAME_NOREPLACE) == 0;
  return ok && fsync(folder_fd) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <folder> <writers> <count> [size_bytes] [max_seconds] [log]\n",
                 argv[0]);
    return 2;
  }
  const int writers = std::atoi(argv[2]);
  const int count = std::atoi(argv[3]);
  const size_t size = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1024;
  const double max_seconds = argc > 5 ? std::atof(argv[5]) : 30.0;
  const bool log = argc > 6 && std::string(argv[6]) == "log";
  if (writers < 1 || count < 1) return 2;
  std::string log_dir = std::string(argv[1]) + "/mailvane-sync-XXXXXX";
  if (mkdtemp(log_dir.data()) == nullptr) return 1;
  const std::string folder = log_dir + "/messages";
  if (mkdir(folder.c_str(), 0750) != 0) return 1;
  const std::string log_path = log_dir + "/sync." + std::to_string(getpid()) + ".log";
  const std::string log_line(90, 'l');

  const std::string data(size, 'x');
  std::atomic<bool> failed{false};
  std::vector<std::vector<std::string>> made(writers);
  std::vector<Clock::time_point> finished(writers);
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(max_seconds));
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&, w] {
      int folder_fd = open(folder.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
      if (folder_fd >= 0) {
        for (int i = 0; i < count && Clock::now() < deadline; ++i) {
          std::string name = "sync." + std::to_string(getpid()) + "." + std::to_string(w) + "." +
                             std::to_string(i);
          if (!MakeDurable(folder_fd, "." + name + ".tmp", name + ".msg", data)) {
            failed = true;
            break;
          }
          made[w].push_back(name + ".msg");
          if (log) {
            int log_fd = open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
            if (log_fd < 0 || write(log_fd, log_line.data(), log_line.size()) < 0) failed = true;
            if (log_fd >= 0) close(log_fd);
          }
        }
        close(folder_fd);
      } else {
        failed = true;
      }
      finished[w] = Clock::now();
    });
  }
  for (std::thread& t : threads) t.join();
  Clock::time_point end = start;
  long files = 0;
  for (int w = 0; w < writers; ++w) {
    if (finished[w] > end) end = finished[w];
    files += static_cast<long>(made[w].size());
  }
  const double seconds = std::chrono::duration<double>(end - start).count();
  std::printf("writers=%d size=%zu log=%d files=%ld seconds=%.3f files_per_s=%.1f%s\n", writers,
              size, log ? 1 : 0, files, seconds, files / seconds,
              failed ? " (a write failed)" : "");
  for (const auto& names : made) {
    for (const std::string& name : names) unlink((folder + "/" + name).c_str());
  }
  unlink(log_path.c_str());
  rmdir(folder.c_str());
  rmdir(log_dir.c_str());
  return failed ? 1 : 0;
}
