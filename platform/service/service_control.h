// The service control of the server program on Linux: installation as the systemd unit
// mailvane.service, the service setting store, event-log entries, and the service requests of the
// service manager, which arrive as signals and are answered on the loop thread:
//
//   SIGTERM  stop (systemd's KillSignal); the first one only, later ones are ignored
//   SIGINT   stop as well in debug mode; otherwise left at its default (the process ends)
//   SIGUSR1  pause, when pause and continue are accepted (SetControlsAccepted(2)); else ignored
//   SIGUSR2  continue, likewise
//   SIGHUP   Control(kServiceControlParamChange)
//
// When systemd started the program (NOTIFY_SOCKET set) and debug mode is off, the control tells
// systemd READY=1 when the program says it serves (NotifyReady), STATUS=Paused / STATUS=Running
// after an accepted pause / continue, and STOPPING=1 before Stop. All members are called on the
// loop thread; none throws.
#ifndef MAILVANE_PLATFORM_SERVICE_SERVICE_CONTROL_H_
#define MAILVANE_PLATFORM_SERVICE_SERVICE_CONTROL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace mailvane {

class EventLoop;
class Registry;

inline constexpr int kServiceControlPauseContinue = 2;  // the accepted-controls flag for pause
// The control code SIGHUP delivers: the platform's "parameters changed" request.
inline constexpr int32_t kServiceControlParamChange = 6;

// The exit status of a start-up that failed on its configuration (EX_CONFIG of sysexits.h). The
// unit names it in RestartPreventExitStatus=: starting again cannot mend a setting.
inline constexpr int kExitConfigFailure = 78;

inline constexpr char kDefaultUnitFolder[] = "/etc/systemd/system";
inline constexpr char kUnitFileName[] = "mailvane.service";

// The answers of the service window to the service manager's requests. They run on the loop.
class ServiceEvents {
 public:
  virtual ~ServiceEvents() = default;
  virtual void Start(bool* success) = 0;
  virtual void Pause(bool* success) = 0;
  virtual void Continue(bool* success) = 0;
  virtual void Stop() = 0;
  virtual void Control(int32_t code) = 0;
};

struct ServiceOptions {
  std::string service_name = "Mailvane";
  std::string program_path;  // absolute path of the server program, for the unit's ExecStart
  std::string unit_folder;   // MAILVANE_SYSTEMD_DIR, or /etc/systemd/system
  std::string event_log;     // MAILVANE_EVENTLOG: a file for event-log lines; empty: the journal
  // Environment= lines of the unit: MAILVANE_REGISTRY, MAILVANE_CONSOLE and MAILVANE_EVENTLOG as
  // set where the program runs, so that the installed service uses the same store and outputs.
  std::vector<std::pair<std::string, std::string>> unit_environment;
};

// The options from the environment, for the program at program_path.
ServiceOptions ServiceOptionsFromEnvironment(const std::string& program_path);

// The unit file's text for the options.
std::string UnitFileText(const ServiceOptions& options);

class ServiceControl {
 public:
  ServiceControl() = default;
  ServiceControl(const ServiceControl&) = delete;
  ServiceControl& operator=(const ServiceControl&) = delete;
  virtual ~ServiceControl() = default;

  // The events receive the requests from StartService on; they must outlive the control.
  virtual void SetEvents(ServiceEvents* events) = 0;

  // Kept for the call contract; it changes nothing on Linux, where a unit has no interactive
  // flag.
  virtual void SetInstallOption(bool interactive) = 0;
  // Writes <unit_folder>/mailvane.service atomically, replacing an earlier one; the folder must
  // exist. When unit_folder is systemd's own (kDefaultUnitFolder) and systemd runs, it then runs
  // `systemctl daemon-reload`, whose failure does not fail the install. True when the unit is in
  // place.
  virtual bool Install() = 0;
  // Stores value as a string with its terminator in the section's key below the service's key
  // (SYSTEM\CurrentControlSet\Services\<service name>\<section> of HKEY_LOCAL_MACHINE); the
  // error holds the registry's Win32 result code.
  virtual std::error_code SaveSetting(const std::string& section, const std::string& name,
                                      const std::string& value) = 0;
  // Removes the unit (and reloads systemd as Install does); false when there was none or it
  // stays.
  virtual bool Uninstall() = 0;
  // One event-log entry: appended to the file of ServiceOptions::event_log as the one line
  // "type id text" (line breaks in text become spaces) in a single write, else to the journal
  // with priority err, identifier Mailvane and the fields MAILVANE_EVENT_TYPE, MAILVANE_EVENT_ID.
  virtual std::error_code LogEvent(int16_t type, int32_t id, const std::string& text) = 0;
  // Debug mode: SIGINT stops as SIGTERM does, and nothing is sent to systemd's notify socket.
  // Call before StartService.
  virtual void SetDebug(bool debug) = 0;
  virtual void SetControlsAccepted(int32_t controls) = 0;
  // Connects to the service manager: installs the signal handlers on the loop and answers
  // Start. Fails when no events are set or the handlers cannot be installed. Destroying the
  // control puts the signals back to their defaults.
  virtual std::error_code StartService() = 0;
  // The program serves (its listener listens): tells systemd READY=1, the first time only, and
  // only when StartService's Start succeeded. Until then `systemctl start` waits, so a start-up
  // that ends first fails the start.
  virtual void NotifyReady() = 0;
};

std::unique_ptr<ServiceControl> NewServiceControl(EventLoop& loop, Registry& store,
                                                  ServiceOptions options);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SERVICE_SERVICE_CONTROL_H_
