// A small object's program for the tests of the object factory. Members:
//   Echo(x)                 answers x (nothing: empty)
//   Fail()                  raises 53 "File not found" from "EchoObject"
//   Throw()                 throws a std::exception inside the member
//   Sleep(ms)               blocks the loop for ms milliseconds, then answers ms
//   Exit()                  ends the program without answering
//   Pid()                   answers the program's process id
//   SetDisconnectFile(path) when the creator disconnects, writes "disconnected" to path
//   Note(x)                 keeps x and raises "noted" with the number of notes kept
//   Notes()                 answers the notes joined by ","
//   Raise(name, n, pad)     raises n events name(i, pad characters) for i = 1..n, stopping at
//                           the first that is refused; answers how many were raised
//   Raised()                answers what the last Raise raised
// The program ends when its creator disconnects.
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

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
  std::vector<std::string> notes;
  int64_t raised = 0;

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
  host->Register("Note", [&](const std::vector<Variant>& args) {
    notes.push_back(args.empty() ? "" : std::get<std::string>(args[0]));
    host->Raise("noted", {Variant{static_cast<int64_t>(notes.size())}});
    return CallResult{};
  });
  host->Register("Notes", [&](const std::vector<Variant>&) {
    std::string joined;
    for (const std::string& note : notes) joined += (joined.empty() ? "" : ",") + note;
    return CallResult{0, "", "", Variant{joined}};
  });
  host->Register("Raise", [&](const std::vector<Variant>& args) {
    const std::string name = std::get<std::string>(args.at(0));
    const std::string pad(static_cast<size_t>(std::get<int64_t>(args.at(2))), 'x');
    raised = 0;
    for (int64_t i = 1; i <= std::get<int64_t>(args.at(1)); ++i) {
      if (!host->Raise(name, {Variant{i}, Variant{pad}})) break;
      ++raised;
    }
    return CallResult{0, "", "", Variant{raised}};
  });
  host->Register("Raised", [&](const std::vector<Variant>&) {
    return CallResult{0, "", "", Variant{raised}};
  });
  host->OnDisconnect([&] {
    if (!disconnect_file.empty()) std::ofstream(disconnect_file) << "disconnected\n";
    loop->Stop();
  });
  host->Ready();
  loop->Run();
  return 0;
}
