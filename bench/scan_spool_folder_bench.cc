// One sweep of a spool folder of many files by the real handler (VanequeueCls::ScanSpoolFolder)
// over the real POSIX file system: the first sweep, which queues every file, and a repeated sweep,
// in which every file is queued already. Settings come from a fake registry; mail, SMS, timers and
// the folder lock are fakes, since a sweep touches none of them.
//
//   scan_spool_folder_bench [--benchmark_...]    (MAILVANE_BENCH_DIR: where the folder is made;
//                                                  default the system's temporary folder)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/scramble.h"
#include "handler/vanequeue_cls.h"
#include "platform/files/file_system.h"
#include "platform/files/testing/fake_file_lock.h"
#include "platform/loop/clock.h"
#include "platform/loop/testing/fake_timer.h"
#include "platform/mail/testing/fake_mail.h"
#include "platform/registry/testing/fake_registry.h"
#include "platform/sms/testing/fake_sms_renderer.h"

namespace mailvane {
namespace {

constexpr char kKey[] = "SOFTWARE\\Mailvane";

// A scratch LogDir with a spool folder of `files` spool files of about 1 KiB each.
class SpoolFolder {
 public:
  explicit SpoolFolder(int files) {
    const char* base = std::getenv("MAILVANE_BENCH_DIR");
    std::string pattern =
        std::string(base ? base : std::filesystem::temp_directory_path().c_str()) +
        "/mailvane-scan-XXXXXX";
    log_dir_ = mkdtemp(pattern.data());
    std::filesystem::create_directory(log_dir_ + "/messages");
    const std::string body = "To: 447700900123@example.com\r\nSubject: bench\r\n\r\n" +
                             std::string(1000, 'x') + "\r\n\r\n";
    for (int i = 1; i <= files; ++i) {
      std::string path = log_dir_ + "/messages/2026127915" + std::to_string(i % 60) + "." +
                         std::to_string(i) + ".msg";
      int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0640);
      if (fd < 0 || write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) {
        std::abort();
      }
      close(fd);
    }
  }
  ~SpoolFolder() { std::filesystem::remove_all(log_dir_); }
  const std::string& log_dir() const { return log_dir_; }

 private:
  std::string log_dir_;
};

// The handler as Vanequeue's main builds it, with fakes where a sweep needs nothing real.
struct Handler {
  explicit Handler(const std::string& log_dir)
      : files(NewPosixFileSystem()), clock(NewSystemClock()) {
    registry.SetStringValue(kKey, "MailServer", "127.0.0.1:1");
    registry.SetStringValue(kKey, "LogDir", log_dir);
    registry.SetStringValue(kKey, "ErrorMailAddress", "admin@example.com");
    registry.SetStringValue(kKey, "MailFromAddress", "gateway@example.com");
    registry.SetStringValue(kKey, "AccessUserName", "acct");
    registry.SetStringValue(kKey, "AccessPassword", ScramblePassword("secret"));
    registry.SetStringValue(kKey, "MessageExpiry", "60");
    registry.SetStringValue(kKey, "MaxLength", "160");
    cls = std::make_unique<VanequeueCls>(HandlerEnvironment{registry, *files, *clock, mail, sms,
                                                            timer1, timer2, lock, log_dir, [] {},
                                                            [](const std::string&) {}});
  }

  FakeRegistry registry;
  std::unique_ptr<FileSystem> files;
  std::unique_ptr<Clock> clock;
  FakeMailFactory mail;
  FakeSmsRendererFactory sms;
  FakeTimer timer1;
  FakeTimer timer2;
  FakeFileLock lock;
  std::unique_ptr<VanequeueCls> cls;
};

// The first sweep of a fresh handler: every file is listed, stat'ed and queued.
void BM_FirstSweep(benchmark::State& state) {
  SpoolFolder folder(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto handler = std::make_unique<Handler>(folder.log_dir());
    state.ResumeTiming();
    handler->cls->ScanSpoolFolder();
    state.PauseTiming();
    if (handler->cls->queue().QueueCount() != state.range(0)) {
      state.SkipWithError("not every file was queued");
    }
    handler.reset();
    state.ResumeTiming();
  }
  state.counters["files"] = static_cast<double>(state.range(0));
}

// A sweep in which every file is queued already (the steady state between processing passes).
void BM_RepeatedSweep(benchmark::State& state) {
  SpoolFolder folder(static_cast<int>(state.range(0)));
  Handler handler(folder.log_dir());
  handler.cls->ScanSpoolFolder();
  if (handler.cls->queue().QueueCount() != state.range(0)) {
    state.SkipWithError("not every file was queued");
  }
  for (auto _ : state) handler.cls->ScanSpoolFolder();
  state.counters["files"] = static_cast<double>(state.range(0));
}

// The listing alone (readdir and one fstatat per entry), the part of a sweep that the file-system
// layer does; the rest of a sweep is the handler's own work per file.
void BM_ListFiles(benchmark::State& state) {
  SpoolFolder folder(static_cast<int>(state.range(0)));
  std::unique_ptr<FileSystem> files = NewPosixFileSystem();
  std::vector<FileInfo> listed;
  for (auto _ : state) {
    files->ListFiles(folder.log_dir() + "/messages/", &listed);
    benchmark::DoNotOptimize(listed.data());
  }
  state.counters["files"] = static_cast<double>(listed.size());
}

BENCHMARK(BM_ListFiles)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FirstSweep)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RepeatedSweep)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace mailvane

BENCHMARK_MAIN();
