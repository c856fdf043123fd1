// The service control of the server program on Linux: installation as the systemd unit
// mailvane.service, the service setting store, event-log entries, and the service requests of the
// service manager, which arrive as signals and are delivered on the loop thread:
//   SIGTERM stop; SIGINT stop as well in debug mode; SIGUSR1 pause; SIGUSR2 continue.
// All members are called on the loop thread.
#ifndef MAILVANE_PLATFORM_SERVICE_SERVICE_CONTROL_H_
#define MAILVANE_PLATFORM_SERVICE_SERVICE_CONTROL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

namespace mailvane {

class EventLoop;
class Registry;

inline constexpr int kServiceControlPauseContinue = 2;  // the accepted-controls flag for pause

// The answers of the service window to the service manager's requests.
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
};

// The options from the environment, for the program at program_path.
ServiceOptions ServiceOptionsFromEnvironment(const std::string& program_path);

class ServiceControl {
 public:
  ServiceControl() = default;
  ServiceControl(const ServiceControl&) = delete;
  ServiceControl& operator=(const ServiceControl&) = delete;
  virtual ~ServiceControl() = default;

  virtual void SetEvents(ServiceEvents* events) = 0;

  virtual void SetInstallOption(bool interactive) = 0;
  // Writes the unit and reloads systemd when it runs; true when the unit is in place.
  virtual bool Install() = 0;
  // Stores a service setting in the Parameters section of the service's key of the store.
  virtual std::error_code SaveSetting(const std::string& section, const std::string& name,
                                      const std::string& value) = 0;
  // Removes the unit (and reloads systemd); false when there was none or it stays.
  virtual bool Uninstall() = 0;
  // One event-log entry: to the file of ServiceOptions::event_log as "type id text", else to the
  // journal with priority err.
  virtual std::error_code LogEvent(int16_t type, int32_t id, const std::string& text) = 0;
  virtual void SetDebug(bool debug) = 0;
  virtual void SetControlsAccepted(int32_t controls) = 0;
  // Connects to the service manager: installs the signal handlers, answers Start, and tells
  // systemd the service is ready when systemd started the program.
  virtual std::error_code StartService() = 0;
};

std::unique_ptr<ServiceControl> NewServiceControl(EventLoop& loop, Registry& store,
                                                  ServiceOptions options);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SERVICE_SERVICE_CONTROL_H_
