// The service control on systemd. The unit is written with the file layer's one durable write.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/signal_set.hpp>
#include <cerrno>
#include <cstdlib>
#include <exception>

#include "platform/files/file_system.h"
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

// The folders the service may write besides its state and logs directories, which systemd
// creates and hands to the service user: /var/lib/mailvane (the default store) and
// /var/log/mailvane (the default log folder). Everything else is read-only under
// ProtectSystem=strict, so the folder of a store named by MAILVANE_REGISTRY, the folder of the
// event-log file and the LogDir of the store are listed as ReadWritePaths=, each with "-" so that
// a folder that is missing at start does not fail the unit.
constexpr char kStateFolder[] = "/var/lib/mailvane";
constexpr int kStartLimitInterval = 600;  // seconds
constexpr int kStartLimitBurst = 5;
constexpr int kRestartDelay = 10;  // seconds

// A dedicated unprivileged user that may bind the SMTP port and nothing else, in a file system
// that is read-only outside its own folders, with what the two programs do and no more: files in
// the store, log and spool folders (fsync, rename, flock), the handler started by fork and
// execve with a socket pair, threads (the spool writer's pool, libcurl's resolver), TCP on IPv4
// and IPv6 (the listener, the console on loopback, outbound SMTP, HTTPS), name resolution, the
// journal and the notify socket (AF_UNIX), and /proc/self/exe.
//
// Left out, on purpose:
// - PrivateUsers=: in a user namespace of its own CAP_NET_BIND_SERVICE no longer reaches the
//   host's network namespace, so port 25 could not be bound.
// - PrivateNetwork=, IPAddressDeny=: the gateway talks to mail servers and the SMS provider
//   wherever they are; an address list would be the site's, not ours.
// - AF_NETLINK: glibc's getaddrinfo asks netlink only which address families the host has
//   (AI_ADDRCONFIG, address sorting) and, refused, takes both; nothing else of ours uses it.
// - ~@privileged covers @chown: the store keeps its owner by fchown only when root rewrites it,
//   which -install does outside the unit, never the service user.
// A call the filter refuses fails with EPERM instead of killing the process.
constexpr char kHardening[] =
    "User=mailvane\n"
    "Group=mailvane\n"
    "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
    "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
    "NoNewPrivileges=yes\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "DevicePolicy=closed\n"
    "PrivateMounts=yes\n"
    "ProtectSystem=strict\n"
    "ProtectHome=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RemoveIPC=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "RestrictNamespaces=yes\n"
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "SystemCallErrorNumber=EPERM\n"
    "UMask=0077\n"
    "StateDirectory=mailvane\n"
    "StateDirectoryMode=0700\n"
    "LogsDirectory=mailvane\n"
    "LogsDirectoryMode=0750\n";
constexpr char kLogsFolder[] = "/var/log/mailvane";

std::string ParentFolder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A folder without trailing separators ("\\" as well: a stored LogDir may end in either).
std::string WithoutTrailingSeparators(std::string folder) {
  while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  return folder;
}

bool IsWithin(const std::string& folder, const std::string& root) {
  return folder == root || folder.rfind(root + "/", 0) == 0;
}

std::string UnitText(const ServiceOptions& options, const std::vector<std::string>& more_folders) {
  std::string exec =
      NeedsQuotes(options.program_path) ? UnitQuoted(options.program_path) : options.program_path;
  // A crash is started again, a few times: at most kStartLimitBurst starts in
  // kStartLimitInterval, then the unit stays failed. A start-up that ended on its settings
  // (kExitConfigFailure) is not started again: it would fail, and mail the administrator, anew.
  // Type=notify: the server says READY=1 once its listener listens, so a failed start-up fails
  // `systemctl start`.
  std::string text =
      "[Unit]\n"
      "Description=Mailvane e-mail-to-SMS gateway\n"
      "After=network.target\n";
  text += "StartLimitIntervalSec=" + std::to_string(kStartLimitInterval) + "\n";
  text += "StartLimitBurst=" + std::to_string(kStartLimitBurst) + "\n";
  text += "\n[Service]\nType=notify\n";
  text += "ExecStart=" + exec + "\n";
  text += "KillSignal=SIGTERM\nRestart=on-failure\n";
  text += "RestartSec=" + std::to_string(kRestartDelay) + "\n";
  text += "RestartPreventExitStatus=" + std::to_string(kExitConfigFailure) + "\n";
  std::vector<std::string> folders;
  for (const auto& [name, value] : options.unit_environment) {
    text += "Environment=" + UnitQuoted(name + "=" + value) + "\n";
    if (name == "MAILVANE_REGISTRY") folders.push_back(ParentFolder(value));
  }
  if (!options.event_log.empty()) folders.push_back(ParentFolder(options.event_log));
  folders.insert(folders.end(), more_folders.begin(), more_folders.end());
  text += kHardening;
  std::vector<std::string> writable;
  for (std::string folder : folders) {
    folder = WithoutTrailingSeparators(folder);
    // Relative folders have no meaning to systemd; the state and logs folders are writable.
    if (folder.empty() || folder[0] != '/' || IsWithin(folder, kStateFolder) ||
        IsWithin(folder, kLogsFolder)) {
      continue;
    }
    std::string entry = "-" + folder;
    if (NeedsQuotes(folder)) entry = UnitQuoted(entry);
    bool seen = false;
    for (const std::string& other : writable) seen = seen || other == entry;
    if (!seen) writable.push_back(entry);
  }
  if (!writable.empty()) {
    text += "ReadWritePaths=";
    for (size_t i = 0; i < writable.size(); ++i) text += (i ? " " : "") + writable[i];
    text += "\n";
  }
  text +=
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  return text;
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
    std::vector<std::string> folders;
    std::string log_folder = StoredLogFolder();
    if (!log_folder.empty()) folders.push_back(log_folder);
    // Written as every handed-over file is: a temporary name, synced, renamed, folder synced.
    if (files_->ReplaceFileDurably(options_.unit_folder, std::string(".") + kUnitFileName + ".tmp",
                                   kUnitFileName, UnitText(options_, folders),
                                   FileReaders::kEveryone)) {
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
    if (files_->DeleteFile(UnitPath())) return false;
    // The unit is removed: a folder sync that fails leaves only the chance that it comes back
    // after a power loss, which a second -uninstall mends; the removal is not a failure for it.
    (void)files_->SyncFolder(options_.unit_folder);
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
    started_ = ok;
    return {};
  }

  void NotifyReady() override {
    if (!started_ || ready_) return;
    ready_ = true;
    Notify("READY=1");
  }

 private:
  std::string UnitPath() const { return options_.unit_folder + "/" + kUnitFileName; }

  // The LogDir of the settings in the store, as an absolute folder (a relative one is taken from
  // the program's folder, as the server takes it); empty when there is none.
  std::string StoredLogFolder() {
    HKEY key = 0;
    if (store_.RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Mailvane", 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
      return "";
    }
    uint32_t type = 0;
    uint32_t size = 0;
    std::string value;
    if (store_.RegQueryValueEx(key, "LogDir", &type, nullptr, &size) == ERROR_SUCCESS && size > 0) {
      value.resize(size);
      if (store_.RegQueryValueEx(key, "LogDir", &type, reinterpret_cast<uint8_t*>(value.data()),
                                 &size) != ERROR_SUCCESS) {
        value.clear();
      }
      value.resize(std::min<size_t>(size, value.size()));
    }
    store_.RegCloseKey(key);
    while (!value.empty() && value.back() == '\0') value.pop_back();
    if (value.empty()) return "";
    if (value[0] != '/') value = ParentFolder(options_.program_path) + "/" + value;
    return value;
  }

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
  // The unit's folder belongs to the service manager, not to Mailvane's own files: the control
  // writes there through a file layer of its own.
  std::unique_ptr<FileSystem> files_ = NewPosixFileSystem();
  ServiceEvents* events_ = nullptr;
  std::unique_ptr<asio::signal_set> signals_;
  bool debug_ = false;
  bool stopping_ = false;
  bool started_ = false;  // Start was answered with success
  bool ready_ = false;
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

std::string UnitFileText(const ServiceOptions& options) { return UnitText(options, {}); }

std::unique_ptr<ServiceControl> NewServiceControl(EventLoop& loop, Registry& store,
                                                  ServiceOptions options) {
  return std::make_unique<SystemdServiceControl>(loop, store, std::move(options));
}

}  // namespace mailvane
