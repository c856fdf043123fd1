#include "platform/service/testing/fake_service_control.h"

namespace mailvane {

namespace {
const char* BoolText(bool value) { return value ? "true" : "false"; }
}  // namespace

void FakeServiceControl::SetEvents(ServiceEvents* events) {
  calls_.push_back("SetEvents");
  events_ = events;
}

void FakeServiceControl::SetInstallOption(bool interactive) {
  calls_.push_back(std::string("SetInstallOption(") + BoolText(interactive) + ")");
  install_option_ = interactive;
}

bool FakeServiceControl::Install() {
  calls_.push_back("Install");
  return install_result_;
}

std::error_code FakeServiceControl::SaveSetting(const std::string& section, const std::string& name,
                                                const std::string& value) {
  calls_.push_back("SaveSetting(" + section + "," + name + "," + value + ")");
  settings_.push_back({section, name, value});
  return {};
}

bool FakeServiceControl::Uninstall() {
  calls_.push_back("Uninstall");
  return uninstall_result_;
}

std::error_code FakeServiceControl::LogEvent(int16_t type, int32_t id, const std::string& text) {
  calls_.push_back("LogEvent(" + std::to_string(type) + "," + std::to_string(id) + "," + text +
                   ")");
  events_logged_.push_back({type, id, text});
  return {};
}

void FakeServiceControl::SetDebug(bool debug) {
  calls_.push_back(std::string("SetDebug(") + BoolText(debug) + ")");
  debug_ = debug;
}

void FakeServiceControl::SetControlsAccepted(int32_t controls) {
  calls_.push_back("SetControlsAccepted(" + std::to_string(controls) + ")");
  controls_accepted_ = controls;
}

std::error_code FakeServiceControl::StartService() {
  calls_.push_back("StartService");
  if (start_service_result_) return start_service_result_;
  started_ = true;
  if (events_ != nullptr) start_answer_ = DeliverStart();
  return {};
}

void FakeServiceControl::NotifyReady() { calls_.push_back("NotifyReady"); }

bool FakeServiceControl::DeliverStart() {
  bool ok = false;
  if (events_ != nullptr) events_->Start(&ok);
  return ok;
}

bool FakeServiceControl::DeliverPause() {
  bool ok = false;
  if (events_ != nullptr) events_->Pause(&ok);
  return ok;
}

bool FakeServiceControl::DeliverContinue() {
  bool ok = false;
  if (events_ != nullptr) events_->Continue(&ok);
  return ok;
}

void FakeServiceControl::DeliverStop() {
  if (events_ != nullptr) events_->Stop();
}

void FakeServiceControl::DeliverControl(int32_t code) {
  if (events_ != nullptr) events_->Control(code);
}

}  // namespace mailvane
