// A service control for tests of the service window. It records every call in order, answers
// Install and Uninstall with scripted results, keeps saved settings and event-log entries, and
// lets a test deliver the service manager's requests to the events set with SetEvents.
// StartService answers Start on the events, as the real control does when it connects.
#ifndef MAILVANE_PLATFORM_SERVICE_TESTING_FAKE_SERVICE_CONTROL_H_
#define MAILVANE_PLATFORM_SERVICE_TESTING_FAKE_SERVICE_CONTROL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/service/service_control.h"

namespace mailvane {

class FakeServiceControl final : public ServiceControl {
 public:
  struct Setting {
    std::string section;
    std::string name;
    std::string value;
    bool operator==(const Setting&) const = default;
  };
  struct Event {
    int16_t type = 0;
    int32_t id = 0;
    std::string text;
    bool operator==(const Event&) const = default;
  };

  void SetEvents(ServiceEvents* events) override;
  void SetInstallOption(bool interactive) override;
  bool Install() override;
  std::error_code SaveSetting(const std::string& section, const std::string& name,
                              const std::string& value) override;
  bool Uninstall() override;
  std::error_code LogEvent(int16_t type, int32_t id, const std::string& text) override;
  void SetDebug(bool debug) override;
  void SetControlsAccepted(int32_t controls) override;
  std::error_code StartService() override;
  void NotifyReady() override;

  // Scripted results.
  void set_install_result(bool installed) { install_result_ = installed; }
  void set_uninstall_result(bool removed) { uninstall_result_ = removed; }
  void set_start_service_result(std::error_code error) { start_service_result_ = error; }

  // Every call in order, one text each: "SetEvents", "SetInstallOption(true)", "Install",
  // "SaveSetting(Parameters,TimerInterval,65535)", "Uninstall", "LogEvent(1,109,text)",
  // "SetDebug(true)", "SetControlsAccepted(2)", "StartService", "NotifyReady".
  const std::vector<std::string>& calls() const { return calls_; }
  const std::vector<Setting>& settings() const { return settings_; }
  const std::vector<Event>& events_logged() const { return events_logged_; }
  std::optional<bool> install_option() const { return install_option_; }
  bool debug() const { return debug_; }
  std::optional<int32_t> controls_accepted() const { return controls_accepted_; }
  bool started() const { return started_; }
  ServiceEvents* events() const { return events_; }
  // The success flag the events gave to the Start of StartService; empty before it.
  std::optional<bool> start_answer() const { return start_answer_; }

  // Requests of the service manager, delivered to the events (nothing when none are set). The
  // flag-taking ones return the flag as the events left it (false when none are set).
  bool DeliverStart();
  bool DeliverPause();
  bool DeliverContinue();
  void DeliverStop();
  void DeliverControl(int32_t code);

 private:
  ServiceEvents* events_ = nullptr;
  bool install_result_ = true;
  bool uninstall_result_ = true;
  std::error_code start_service_result_;
  std::vector<std::string> calls_;
  std::vector<Setting> settings_;
  std::vector<Event> events_logged_;
  std::optional<bool> install_option_;
  bool debug_ = false;
  std::optional<int32_t> controls_accepted_;
  bool started_ = false;
  std::optional<bool> start_answer_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_SERVICE_TESTING_FAKE_SERVICE_CONTROL_H_
