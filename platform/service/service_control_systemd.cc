// The service control on systemd. The unit is written like a queue file: a temporary name in the
// same folder, synced, renamed into place, the folder synced.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <boost/asio/signal_set.hpp>
#include <cerrno>
#include <cstdlib>
#include <exception>

#include "platform/loop/asio_loop.h"
#include "platform/registry/registry.h"
#include "platform/service/service_control.h"

extern char** environ;

namespace mailvane {
namespace {

namespace asio = boost::asio;

// Win32 result codes of the registry, as error codes.
class RegistryResultCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "registry"; }
  std::string message(int code) const override { return "registry result " + std::to_string(code); }
};

const std::error_category& RegistryResult() {
  static const RegistryResultCategory category;
  return category;
}

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

// A value in systemd's unit syntax: quoted, with its specifiers and variables escaped.
std::string UnitQuoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    if (c == '$') quoted += '$';
    quoted += c;
  }
  return quoted + "\"";
}

bool NeedsQuotes(const std::string& text) {
  return text.empty() || text.find_first_of(" \t\"'\\%$;") != std::string::npos;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Writes path under a temporary name in its folder and renames it into place.
bool WriteFileAtomically(const std::string& folder, const std::string& path,
                         const std::string& text) {
  std::string temporary = folder + "/.mailvane.service.XXXXXX";
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolder(folder);
  return true;
}

// Runs `systemctl daemon-reload` and waits for it; the outcome does not matter to the caller.
void ReloadSystemd() {
  char program[] = "systemctl";
  char command[] = "daemon-reload";
  char* argv[] = {program, command, nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0) return;
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

class SystemdServiceControl final : public ServiceControl {
 public:
  SystemdServiceControl(EventLoop& loop, Registry& store, ServiceOptions options)
      : context_(AsioContext(loop)), store_(store), options_(std::move(options)) {}

  ~SystemdServiceControl() override {
    if (signals_) {
      boost::system::error_code ignored;
      signals_->clear(ignored);  // back to the default actions
      signals_->cancel(ignored);
    }
  }

  void SetEvents(ServiceEvents* events) override { events_ = events; }
  // A unit has no interactive flag: the option is accepted and changes nothing.
  void SetInstallOption(bool) override {}

  bool Install() override {
    if (!WriteFileAtomically(options_.unit_folder, UnitPath(), UnitFileText(options_))) {
      return false;
    }
    MaybeReload();
    return true;
  }

  std::error_code SaveSetting(const std::string& section, const std::string& name,
                              const std::string& value) override {
    const std::string key_path =
        "SYSTEM\\CurrentControlSet\\Services\\" + options_.service_name + "\\" + section;
    HKEY key = 0;
    uint32_t disposition = 0;
    long result = store_.RegCreateKeyEx(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0,
                                        KEY_ALL_ACCESS_3F, nullptr, &key, &disposition);
    if (result != ERROR_SUCCESS) return std::error_code(static_cast<int>(result), RegistryResult());
    std::string data = value;
    data.push_back('\0');
    result =
        store_.RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const uint8_t*>(data.data()),
                             static_cast<uint32_t>(data.size()));
    store_.RegCloseKey(key);
    if (result != ERROR_SUCCESS) return std::error_code(static_cast<int>(result), RegistryResult());
    return {};
  }

  bool Uninstall() override {
    if (::unlink(UnitPath().c_str()) != 0) return false;
    SyncFolder(options_.unit_folder);
    MaybeReload();
    return true;
  }

  std::error_code LogEvent(int16_t type, int32_t id, const std::string& text) override {
    std::string one_line = text;
    for (char& c : one_line) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    if (!options_.event_log.empty()) {
      std::string line = std::to_string(type) + " " + std::to_string(id) + " " + one_line + "\n";
      int fd = ::open(options_.event_log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0) return LastError();
      ssize_t written = ::write(fd, line.data(), line.size());
      std::error_code error;
      if (written != static_cast<ssize_t>(line.size())) {
        error = written < 0 ? LastError() : std::make_error_code(std::errc::io_error);
      }
      if (::close(fd) != 0 && !error) error = LastError();
      return error;
    }
    int result = sd_journal_send("PRIORITY=3", "SYSLOG_IDENTIFIER=Mailvane", "MESSAGE=%s",
                                 text.c_str(), "MAILVANE_EVENT_TYPE=%d", static_cast<int>(type),
                                 "MAILVANE_EVENT_ID=%d", static_cast<int>(id), nullptr);
    if (result < 0) return std::error_code(-result, std::generic_category());
    return {};
  }

  void SetDebug(bool debug) override { debug_ = debug; }
  void SetControlsAccepted(int32_t controls) override { controls_ = controls; }

  std::error_code StartService() override {
    if (events_ == nullptr) return std::make_error_code(std::errc::invalid_argument);
    if (!signals_) {
      signals_ = std::make_unique<asio::signal_set>(context_);
      boost::system::error_code error;
      for (int signal : {SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) signals_->add(signal, error);
      if (debug_ && !error) signals_->add(SIGINT, error);
      if (error) {
        signals_.reset();
        return error;
      }
      Wait();
    }
    bool ok = false;
    Answer([&] { events_->Start(&ok); });
    if (ok) Notify("READY=1");
    return {};
  }

 private:
  std::string UnitPath() const { return options_.unit_folder + "/" + kUnitFileName; }

  // Only systemd's own folder is reloaded: a unit written elsewhere (a test, a staging tree)
  // is none of the running manager's business.
  void MaybeReload() {
    if (options_.unit_folder == kDefaultUnitFolder && sd_booted() > 0) ReloadSystemd();
  }

  void Notify(const char* state) {
    if (debug_ || std::getenv("NOTIFY_SOCKET") == nullptr) return;
    sd_notify(0, state);
  }

  void Wait() {
    signals_->async_wait([this](const boost::system::error_code& error, int signal) {
      if (error) return;  // cancelled: the control is going away
      OnSignal(signal);
      Wait();
    });
  }

  void OnSignal(int signal) {
    switch (signal) {
      case SIGTERM:
      case SIGINT:
        if (stopping_) return;
        stopping_ = true;
        Notify("STOPPING=1");
        Answer([&] { events_->Stop(); });
        return;
      case SIGUSR1:
      case SIGUSR2: {
        if ((controls_ & kServiceControlPauseContinue) == 0) return;
        bool ok = false;
        if (signal == SIGUSR1) {
          Answer([&] { events_->Pause(&ok); });
          if (ok) Notify("STATUS=Paused");
        } else {
          Answer([&] { events_->Continue(&ok); });
          if (ok) Notify("STATUS=Running");
        }
        return;
      }
      case SIGHUP:
        Answer([&] { events_->Control(kServiceControlParamChange); });
        return;
      default:
        return;
    }
  }

  // The service window traps its own errors; one that escapes it still never leaves the loop.
  template <typename F>
  void Answer(F answer) {
    try {
      answer();
    } catch (const std::exception& error) {
      LogEvent(1, 109, std::string("[") + error.what() + "]");
    } catch (...) {
      LogEvent(1, 109, "[Service request failed]");
    }
  }

  asio::io_context& context_;
  Registry& store_;
  ServiceOptions options_;
  ServiceEvents* events_ = nullptr;
  std::unique_ptr<asio::signal_set> signals_;
  bool debug_ = false;
  bool stopping_ = false;
  int32_t controls_ = 0;
};

}  // namespace

ServiceOptions ServiceOptionsFromEnvironment(const std::string& program_path) {
  ServiceOptions options;
  options.program_path = program_path;
  const char* unit_folder = std::getenv("MAILVANE_SYSTEMD_DIR");
  options.unit_folder =
      unit_folder != nullptr && *unit_folder != '\0' ? unit_folder : kDefaultUnitFolder;
  const char* event_log = std::getenv("MAILVANE_EVENTLOG");
  if (event_log != nullptr) options.event_log = event_log;
  for (const char* name : {"MAILVANE_REGISTRY", "MAILVANE_CONSOLE", "MAILVANE_EVENTLOG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') options.unit_environment.emplace_back(name, value);
  }
  return options;
}

std::string UnitFileText(const ServiceOptions& options) {
  std::string exec =
      NeedsQuotes(options.program_path) ? UnitQuoted(options.program_path) : options.program_path;
  std::string text =
      "[Unit]\n"
      "Description=Mailvane e-mail-to-SMS gateway\n"
      "After=network.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=" +
      exec +
      "\n"
      "KillSignal=SIGTERM\n"
      "Restart=on-failure\n";
  for (const auto& [name, value] : options.unit_environment) {
    text += "Environment=" + UnitQuoted(name + "=" + value) + "\n";
  }
  // Hardening (a dedicated user, sandboxing options) belongs here.
  text +=
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  return text;
}

std::unique_ptr<ServiceControl> NewServiceControl(EventLoop& loop, Registry& store,
                                                  ServiceOptions options) {
  return std::make_unique<SystemdServiceControl>(loop, store, std::move(options));
}

}  // namespace mailvane
