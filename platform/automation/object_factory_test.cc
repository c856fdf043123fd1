// The factory against a real object's program (automation_echo_object) in a child process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <thread>

#include "platform/automation/automation_json.h"
#include "platform/automation/object_factory_posix.h"
#include "platform/loop/event_loop.h"

namespace mailvane {
namespace {

namespace fs = std::filesystem;

constexpr char kEcho[] = "Mailvane.EchoObject";

class ObjectFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mv-automation-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Script(const std::string& name, const std::string& body) {
    std::string path = (dir_ / name).string();
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }

  std::unique_ptr<ObjectFactory> Factory(std::map<std::string, std::string> extra = {},
                                         AutomationOptions options = {}) {
    extra[kEcho] = MAILVANE_ECHO_OBJECT;
    return NewChildProcessObjectFactory(*loop_, std::move(extra), options);
  }

  std::unique_ptr<AutomationObject> Create(ObjectFactory& factory) {
    std::unique_ptr<AutomationObject> object;
    CallResult result = factory.CreateObject(kEcho, &object);
    EXPECT_EQ(result.error_number, 0) << result.description;
    return object;
  }

  // Turns the loop until done() holds, for at most max_steps turns of 5 ms; then a few more, so
  // that a handler running twice would be seen.
  bool TurnLoopUntil(const std::function<bool()>& done, int max_steps = 2000) {
    for (int step = 0; step < max_steps && !done(); ++step) {
      loop_->Poll();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (int step = 0; step < 10; ++step) loop_->Poll();
    return done();
  }

  std::unique_ptr<EventLoop> loop_ = NewEventLoop();
  fs::path dir_;
};

// A reaped child is gone: no zombie is left for it.
bool Reaped(pid_t pid) {
  errno = 0;
  return ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

TEST_F(ObjectFactoryTest, EveryValueKindMakesTheRoundTrip) {
  std::unique_ptr<ObjectFactory> factory = Factory();
  std::unique_ptr<AutomationObject> object = Create(*factory);
  ASSERT_TRUE(object);
  for (const Variant& value :
       {Variant{}, Variant{true}, Variant{false}, Variant{int64_t{1}},
        Variant{std::numeric_limits<int64_t>::min()}, Variant{0.25}, Variant{std::string()},
        Variant{std::string("Vanequeue \xe2\x82\xac\n")}}) {
    CallResult result = object->Call("Echo", {value});
    EXPECT_EQ(result.error_number, 0) << result.description;
    EXPECT_EQ(result.value, value) << value.index();
  }
}

TEST_F(ObjectFactoryTest, ErrorsComeBackAsRaised) {
  std::unique_ptr<ObjectFactory> factory = Factory();
  std::unique_ptr<AutomationObject> object = Create(*factory);
  ASSERT_TRUE(object);
  struct Case {
    const char* member;
    int number;
    const char* description;
  } cases[] = {
      {"Fail", 53, "File not found"},
      {"Throw", 440, "Automation error"},
      {"NoSuchMember", 438, "Object doesn't support this property or method"},
  };
  for (const Case& c : cases) {
    CallResult result = object->Call(c.member, {});
    EXPECT_EQ(result.error_number, c.number) << c.member;
    EXPECT_EQ(result.description, c.description) << c.member;
  }
  EXPECT_EQ(object->Call("Fail", {}).source, "EchoObject");
  EXPECT_EQ(object->Call("Echo", {Variant{int64_t{5}}}).value, Variant{int64_t{5}});
}

TEST_F(ObjectFactoryTest, ObjectsThatCannotBeCreated) {
  std::map<std::string, std::string> programs = {
      {"Missing.Program", (dir_ / "no-such-program").string()},
      {"Not.Executable", (dir_ / "plain-file").string()},
      {"Exits.Before.Ready", Script("exits", "exit 0")},
      {"Wrong.First.Line", Script("wrong", "echo '{\"ready\":false}' >&3; exec sleep 30")},
  };
  std::ofstream(dir_ / "plain-file") << "not a program\n";
  std::unique_ptr<ObjectFactory> factory = Factory(programs);
  for (const std::string progid : {"Unknown.Progid", "Missing.Program", "Not.Executable",
                                   "Exits.Before.Ready", "Wrong.First.Line"}) {
    std::unique_ptr<AutomationObject> object;
    CallResult result = factory->CreateObject(progid, &object);
    EXPECT_EQ(result.error_number, 429) << progid;
    EXPECT_EQ(result.description, "ActiveX component can't create object") << progid;
    EXPECT_FALSE(object) << progid;
    // Started without waiting, the same failure comes on the loop.
    std::optional<CallResult> started;
    factory->StartObject(progid, [&](CallResult result, std::unique_ptr<AutomationObject> made) {
      EXPECT_FALSE(made) << progid;
      started = std::move(result);
    });
    ASSERT_TRUE(TurnLoopUntil([&] { return started.has_value(); })) << progid;
    EXPECT_EQ(started->error_number, 429) << progid;
  }
  std::unique_ptr<AutomationObject> started;
  factory->StartObject(kEcho, [&](CallResult result, std::unique_ptr<AutomationObject> made) {
    EXPECT_EQ(result.error_number, 0);
    started = std::move(made);
  });
  EXPECT_FALSE(started);  // ready only once the loop has read its line
  ASSERT_TRUE(TurnLoopUntil([&] { return started != nullptr; }));
  EXPECT_EQ(started->Call("Echo", {std::string("x")}).error_number, 0);
}

TEST_F(ObjectFactoryTest, ProgramNeverReadyTimesOutAndIsKilled) {
  std::string pid_file = (dir_ / "pid").string();
  AutomationOptions options;
  options.create_timeout = std::chrono::milliseconds(300);
  std::unique_ptr<ObjectFactory> factory = Factory(
      {{"Never.Ready", Script("never", "echo $$ > " + pid_file + "; exec sleep 30")}}, options);
  std::unique_ptr<AutomationObject> object;
  for (bool wait : {true, false}) {
    fs::remove(pid_file);
    if (wait) {
      EXPECT_EQ(factory->CreateObject("Never.Ready", &object).error_number, 429);
    } else {
      std::optional<CallResult> started;
      factory->StartObject("Never.Ready",
                           [&](CallResult result, std::unique_ptr<AutomationObject>) {
                             started = std::move(result);
                           });
      ASSERT_TRUE(TurnLoopUntil([&] { return started.has_value(); }));
      EXPECT_EQ(started->error_number, 429);
    }
    pid_t pid = 0;
    std::ifstream(pid_file) >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(Reaped(pid));
  }
}

TEST_F(ObjectFactoryTest, CallTimeOutGives462AndEndsTheProgram) {
  AutomationOptions options;
  options.call_timeout = std::chrono::milliseconds(300);
  std::unique_ptr<ObjectFactory> factory = Factory({}, options);
  std::unique_ptr<AutomationObject> object = Create(*factory);
  ASSERT_TRUE(object);
  pid_t pid = ChildProcessId(*object);
  ASSERT_GT(pid, 0);
  CallResult result = object->Call("Sleep", {Variant{int64_t{30'000}}});
  EXPECT_EQ(result.error_number, 462);
  EXPECT_EQ(result.description, "The remote server machine does not exist or is unavailable");
  EXPECT_TRUE(Reaped(pid));
  EXPECT_EQ(ChildProcessId(*object), -1);
  // Later calls do not reach a program out of step.
  EXPECT_EQ(object->Call("Echo", {}).error_number, 462);
}

TEST_F(ObjectFactoryTest, ProgramGoneGives462) {
  std::unique_ptr<ObjectFactory> factory = Factory();
  std::unique_ptr<AutomationObject> object = Create(*factory);
  ASSERT_TRUE(object);
  pid_t pid = ChildProcessId(*object);
  EXPECT_EQ(object->Call("Exit", {}).error_number, 462);
  EXPECT_TRUE(Reaped(pid));
}

TEST_F(ObjectFactoryTest, ReleasingTheObjectEndsItsProgram) {
  std::string marker = (dir_ / "disconnected").string();
  std::unique_ptr<ObjectFactory> factory = Factory();
  std::unique_ptr<AutomationObject> object = Create(*factory);
  ASSERT_TRUE(object);
  pid_t pid = ChildProcessId(*object);
  CallResult own_pid = object->Call("Pid", {});
  EXPECT_EQ(own_pid.value, Variant{int64_t{pid}});
  EXPECT_EQ(object->Call("SetDisconnectFile", {Variant{marker}}).error_number, 0);
  object.reset();
  EXPECT_TRUE(Reaped(pid));
  EXPECT_NE(::kill(pid, 0), 0);
  // The program saw the disconnect and ended by itself, not by the kill after the grace.
  std::string text;
  std::getline(std::ifstream(marker), text);
  EXPECT_EQ(text, "disconnected");
}

TEST_F(ObjectFactoryTest, OnClosedRunsOnTheLoopOnceWhenTheProgramEndsAndNeverAfterRelease) {
  enum class End { kKilled, kExitedInACall, kReleased };
  for (End end : {End::kKilled, End::kExitedInACall, End::kReleased}) {
    SCOPED_TRACE(static_cast<int>(end));
    std::unique_ptr<ObjectFactory> factory = Factory();
    std::unique_ptr<AutomationObject> object = Create(*factory);
    ASSERT_TRUE(object);
    const pid_t pid = ChildProcessId(*object);
    int runs = 0;
    CallResult after_close;
    object->OnClosed([&] {
      ++runs;
      after_close = object->Call("Echo", {});
      object.reset();  // the handler may release its object
    });
    // Answers make the connection readable; that alone is no end.
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(object->Call("Echo", {Variant{int64_t{i}}}).value, Variant{int64_t{i}});
    loop_->Poll();
    EXPECT_EQ(runs, 0);
    switch (end) {
      case End::kKilled:
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        break;
      case End::kExitedInACall:
        EXPECT_EQ(object->Call("Exit", {}).error_number, 462);
        EXPECT_EQ(runs, 0);  // not inside the call: on the loop
        break;
      case End::kReleased:
        object.reset();
        break;
    }
    if (end == End::kReleased) {
      TurnLoopUntil([] { return false; }, 40);
      EXPECT_EQ(runs, 0);
    } else {
      EXPECT_TRUE(TurnLoopUntil([&] { return runs > 0; }));
      EXPECT_EQ(runs, 1);
      EXPECT_EQ(after_close.error_number, 462);
    }
    EXPECT_FALSE(object);
    EXPECT_TRUE(Reaped(pid));
  }
}

// The events an object raised, as "name(i)", in the order the loop ran them.
struct EventLog {
  std::vector<std::string> seen;
  EventHandler Handler() {
    return [this](const std::string& name, const std::vector<Variant>& args) {
      seen.push_back(name + "(" + std::to_string(std::get<int64_t>(args.at(0))) + ")");
    };
  }
};

TEST_F(ObjectFactoryTest, PostsAreNeverAnsweredAndGoBeforeALaterCall) {
  std::unique_ptr<ObjectFactory> factory = Factory();
  std::unique_ptr<AutomationObject> object = Create(*factory);
  ASSERT_TRUE(object);
  for (const char* note : {"a", "b", "c"}) EXPECT_TRUE(object->Post("Note", {Variant{note}}));
  // Posts to members that fail or do not exist are dropped by the object, which goes on.
  EXPECT_TRUE(object->Post("Fail", {}));
  EXPECT_TRUE(object->Post("NoSuchMember", {}));
  EXPECT_TRUE(object->Post("Note", {Variant{"d"}}));
  EXPECT_EQ(object->Call("Notes", {}).value, Variant{std::string("a,b,c,d")});
  object->Call("Exit", {});
  EXPECT_FALSE(object->Post("Note", {Variant{"e"}}));  // closed
}

TEST_F(ObjectFactoryTest, EventsRunOnTheLoopInOrderAndThoseDuringACallAfterIt) {
  std::unique_ptr<ObjectFactory> factory = Factory();
  std::unique_ptr<AutomationObject> object = Create(*factory);
  ASSERT_TRUE(object);
  EventLog events;
  object->OnEvent(events.Handler());
  // Raised while the call waits: kept, not run inside the call.
  EXPECT_EQ(
      object->Call("Raise", {Variant{"during"}, Variant{int64_t{3}}, Variant{int64_t{0}}}).value,
      Variant{int64_t{3}});
  EXPECT_TRUE(events.seen.empty());
  // Raised between calls, after a post: read on the loop.
  EXPECT_TRUE(
      object->Post("Raise", {Variant{"between"}, Variant{int64_t{2}}, Variant{int64_t{0}}}));
  EXPECT_TRUE(TurnLoopUntil([&] { return events.seen.size() >= 5; }));
  EXPECT_THAT(events.seen, ::testing::ElementsAre("during(1)", "during(2)", "during(3)",
                                                  "between(1)", "between(2)"));
  // A handler that releases the object ends the delivery; nothing runs after the release.
  object->OnEvent([&](const std::string&, const std::vector<Variant>&) {
    events.seen.push_back("released");
    object.reset();
  });
  ASSERT_EQ(
      object->Call("Raise", {Variant{"x"}, Variant{int64_t{4}}, Variant{int64_t{0}}}).error_number,
      0);
  TurnLoopUntil([&] { return !object; });
  EXPECT_EQ(std::count(events.seen.begin(), events.seen.end(), "released"), 1);
}

TEST_F(ObjectFactoryTest, AnObjectThatDoesNotReadNeitherBlocksPostsNorLosesThoseAccepted) {
  std::unique_ptr<ObjectFactory> factory = Factory();
  std::unique_ptr<AutomationObject> object = Create(*factory);
  ASSERT_TRUE(object);
  int64_t noted = 0;
  object->OnEvent([&](const std::string& name, const std::vector<Variant>& args) {
    if (name == "noted") noted = std::get<int64_t>(args.at(0));
  });
  ASSERT_TRUE(object->Post("Sleep", {Variant{int64_t{3000}}}));  // reads nothing meanwhile
  const std::string note(64 * 1024, 'n');
  int64_t accepted = 0;
  while (accepted < 1000 && object->Post("Note", {Variant{note}})) ++accepted;
  ASSERT_LT(accepted, 1000);  // the bound was reached and the post refused at once
  // The loop hands the rest over once the object reads again.
  EXPECT_TRUE(TurnLoopUntil([&] { return noted == accepted; }));
  EXPECT_EQ(noted, accepted);
}

TEST_F(ObjectFactoryTest, AnObjectRefusesEventsBeyondTheBoundAndDeliversThoseRaised) {
  std::unique_ptr<ObjectFactory> factory = Factory();
  std::unique_ptr<AutomationObject> object = Create(*factory);
  ASSERT_TRUE(object);
  EventLog events;
  object->OnEvent(events.Handler());
  // Raised all at once while the creator reads nothing: the object's queue fills up.
  ASSERT_TRUE(
      object->Post("Raise", {Variant{"e"}, Variant{int64_t{100'000}}, Variant{int64_t{1000}}}));
  CallResult raised = object->Call("Raised", {});
  ASSERT_TRUE(std::holds_alternative<int64_t>(raised.value));
  const int64_t count = std::get<int64_t>(raised.value);
  auto line = [](int64_t i) {
    return EncodeEventLine({"e", {Variant{i}, Variant{std::string(1000, 'x')}}}).size();
  };
  size_t queued = 0;
  for (int64_t i = 1; i <= count; ++i) queued += line(i);
  EXPECT_LE(queued, kMaxQueuedEventBytes);
  EXPECT_GT(queued + line(count + 1), kMaxQueuedEventBytes);  // the first refused was the one over
  EXPECT_TRUE(TurnLoopUntil([&] { return events.seen.size() >= static_cast<size_t>(count); }));
  ASSERT_EQ(events.seen.size(), static_cast<size_t>(count));
  EXPECT_EQ(events.seen.back(), "e(" + std::to_string(count) + ")");
}

TEST_F(ObjectFactoryTest, ChildInheritsOnlyItsConnection) {
  // A descriptor of ours without CLOEXEC must not reach the object's program.
  constexpr int kLeaked = 50;
  ASSERT_EQ(::dup2(STDERR_FILENO, kLeaked), kLeaked);
  std::string out = (dir_ / "fds").string();
  std::string body = "echo \"$MAILVANE_AUTOMATION_FD\" > " + out +
                     "; [ -S /proc/$$/fd/3 ] 2>/dev/null || [ -e /proc/$$/fd/3 ] && echo has3 >> " +
                     out + "; [ -e /proc/$$/fd/" + std::to_string(kLeaked) +
                     " ] && echo leaked >> " + out + "; echo '{\"ready\":true}' >&3; exec sleep 30";
  std::unique_ptr<ObjectFactory> factory = Factory({{"List.Fds", Script("fds", body)}});
  std::unique_ptr<AutomationObject> object;
  CallResult created = factory->CreateObject("List.Fds", &object);
  ::close(kLeaked);
  ASSERT_EQ(created.error_number, 0);
  std::ifstream listing(out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(listing, line);) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"3", "has3"}));
  pid_t pid = ChildProcessId(*object);
  object.reset();  // sleep ignores the disconnect: the grace passes and the kill reaps it
  EXPECT_TRUE(Reaped(pid));
}

}  // namespace
}  // namespace mailvane
