// A small object's program for the tests of the object factory. Members:
//   Echo(x)                 answers x (nothing: empty)
//   Fail()                  raises 53 "File not found" from "EchoObject"
//   Throw()                 throws a std::exception inside the member
//   Sleep(ms)               blocks the loop for ms milliseconds, then answers ms
//   Exit()                  ends the program without answering
//   Pid()                   answers the program's process id
//   SetDisconnectFile(path) when the creator disconnects, writes "disconnected" to path
// The program ends when its creator disconnects.
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "platform/automation/automation.h"
#include "platform/loop/event_loop.h"

int main() {
  using mailvane::CallResult;
  using mailvane::Variant;
  std::unique_ptr<mailvane::EventLoop> loop = mailvane::NewEventLoop();
  std::unique_ptr<mailvane::AutomationHost> host =
      mailvane::NewAutomationHostFromEnvironment(*loop);
  if (!host) return 2;
  std::string disconnect_file;

  host->Register("Echo", [](const std::vector<Variant>& args) {
    CallResult result;
    if (!args.empty()) result.value = args[0];
    return result;
  });
  host->Register("Fail", [](const std::vector<Variant>&) {
    return CallResult{53, "File not found", "EchoObject", {}};
  });
  host->Register("Throw", [](const std::vector<Variant>&) -> CallResult {
    throw std::runtime_error("thrown inside the member");
  });
  host->Register("Sleep", [](const std::vector<Variant>& args) {
    CallResult result;
    if (!args.empty() && std::holds_alternative<int64_t>(args[0])) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::get<int64_t>(args[0])));
      result.value = args[0];
    }
    return result;
  });
  host->Register("Exit", [](const std::vector<Variant>&) -> CallResult { ::_exit(0); });
  host->Register("Pid", [](const std::vector<Variant>&) {
    CallResult result;
    result.value = static_cast<int64_t>(::getpid());
    return result;
  });
  host->Register("SetDisconnectFile", [&disconnect_file](const std::vector<Variant>& args) {
    if (!args.empty() && std::holds_alternative<std::string>(args[0])) {
      disconnect_file = std::get<std::string>(args[0]);
    }
    return CallResult{};
  });
  host->OnDisconnect([&] {
    if (!disconnect_file.empty()) std::ofstream(disconnect_file) << "disconnected\n";
    loop->Stop();
  });
  host->Ready();
  loop->Run();
  return 0;
}
