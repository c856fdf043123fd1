#include "platform/service/service_control.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/loop/event_loop.h"
#include "platform/registry/testing/fake_registry.h"

namespace mailvane {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxTurns = 2000;  // loop turns of 1 ms before a test gives up waiting

std::string ReadFile(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

class RecordingEvents : public ServiceEvents {
 public:
  void Start(bool* success) override {
    requests.push_back("Start");
    *success = start_ok;
  }
  void Pause(bool* success) override {
    requests.push_back("Pause");
    *success = true;
  }
  void Continue(bool* success) override {
    requests.push_back("Continue");
    *success = true;
  }
  void Stop() override {
    requests.push_back("Stop");
    if (on_stop) on_stop();
  }
  void Control(int32_t code) override { requests.push_back("Control " + std::to_string(code)); }

  std::vector<std::string> requests;
  std::function<void()> on_stop;
  bool start_ok = true;
};

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mv-service-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    options_.program_path = "/opt/mailvane/bin/MailvaneSvc";
    options_.unit_folder = dir_.string();
  }
  void TearDown() override {
    control_.reset();
    ::unsetenv("NOTIFY_SOCKET");
    fs::remove_all(dir_);
  }

  ServiceControl& Control() {
    if (!control_) control_ = NewServiceControl(*loop_, store_, options_);
    return *control_;
  }

  // Raises the signal in this process and turns the loop until the events saw `count` requests.
  void RaiseAndWait(int signal, size_t count) {
    ASSERT_EQ(::raise(signal), 0);
    for (int turn = 0; turn < kMaxTurns && events_.requests.size() < count; ++turn) {
      loop_->Poll();
      ::usleep(1000);
    }
  }

  // Turns the loop a while so that a signal that should be ignored had its chance.
  void Settle() {
    for (int turn = 0; turn < 50; ++turn) {
      loop_->Poll();
      ::usleep(1000);
    }
  }

  fs::path dir_;
  ServiceOptions options_;
  std::unique_ptr<EventLoop> loop_ = NewEventLoop();
  FakeRegistry store_;
  RecordingEvents events_;
  std::unique_ptr<ServiceControl> control_;
};

// The unit's frame; its sandbox lines are judged by systemd-analyze in the install test.
TEST(UnitFileText, UnitForTheProgram) {
  ServiceOptions options;
  options.program_path = "/opt/mailvane/bin/MailvaneSvc";
  const std::string text = UnitFileText(options);
  const std::string head =
      "[Unit]\n"
      "Description=Mailvane e-mail-to-SMS gateway\n"
      "After=network.target\n"
      "StartLimitIntervalSec=600\n"
      "StartLimitBurst=5\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=/opt/mailvane/bin/MailvaneSvc\n"
      "KillSignal=SIGTERM\n"
      "Restart=on-failure\n"
      "RestartSec=10\n"
      "RestartPreventExitStatus=78\n"
      "User=mailvane\n";
  const std::string tail = "\n\n[Install]\nWantedBy=multi-user.target\n";
  EXPECT_EQ(text.substr(0, head.size()), head) << text;
  ASSERT_GT(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
  EXPECT_NE(text.find("AmbientCapabilities=CAP_NET_BIND_SERVICE\n"), std::string::npos);
}

// Under ProtectSystem=strict only the listed folders are writable: the store's and the event
// log's, unless systemd's own state and logs folders already cover them.
TEST(UnitFileText, WritableFoldersFollowTheStoreAndTheEventLog) {
  struct Case {
    std::string store;
    std::string event_log;
    std::string line;  // the ReadWritePaths= line, or "" when there must be none
  } cases[] = {
      {"", "", ""},
      {"/var/lib/mailvane/registry.reg", "", ""},
      {"/var/lib/mailvane/sub/registry.reg", "/var/log/mailvane/events.log", ""},
      {"/srv/mv/registry.reg", "", "ReadWritePaths=-/srv/mv\n"},
      {"/srv/mv/registry.reg", "/srv/mv/events.log", "ReadWritePaths=-/srv/mv\n"},
      {"/srv/mv/registry.reg", "/var/tmp/ev/events.log", "ReadWritePaths=-/srv/mv -/var/tmp/ev\n"},
      {"/srv/my store/registry.reg", "", "ReadWritePaths=\"-/srv/my store\"\n"},
      {"/var/lib/mailvane-other/registry.reg", "", "ReadWritePaths=-/var/lib/mailvane-other\n"},
      {"relative.reg", "", ""},
  };
  for (const Case& c : cases) {
    ServiceOptions options;
    options.program_path = "/opt/mailvane/bin/MailvaneSvc";
    if (!c.store.empty()) options.unit_environment = {{"MAILVANE_REGISTRY", c.store}};
    options.event_log = c.event_log;
    std::string text = UnitFileText(options);
    if (c.line.empty()) {
      EXPECT_EQ(text.find("ReadWritePaths="), std::string::npos) << c.store << "\n" << text;
    } else {
      EXPECT_NE(text.find("LogsDirectoryMode=0750\n" + c.line + "\n[Install]"), std::string::npos)
          << c.store << "\n"
          << text;
    }
  }
}

TEST(UnitFileText, PathsAndEnvironmentAreQuotedForSystemd) {
  struct Case {
    std::string path;
    std::string exec_line;
  } cases[] = {
      {"/opt/mailvane/bin/MailvaneSvc", "ExecStart=/opt/mailvane/bin/MailvaneSvc\n"},
      {"/opt/mail vane/MailvaneSvc", "ExecStart=\"/opt/mail vane/MailvaneSvc\"\n"},
      {"/opt/100%/Mailvane$Svc", "ExecStart=\"/opt/100%%/Mailvane$$Svc\"\n"},
      {"/opt/a\"b\\c", "ExecStart=\"/opt/a\\\"b\\\\c\"\n"},
  };
  for (const Case& c : cases) {
    ServiceOptions options;
    options.program_path = c.path;
    EXPECT_NE(UnitFileText(options).find(c.exec_line), std::string::npos) << c.path;
  }
  ServiceOptions options;
  options.program_path = "/bin/MailvaneSvc";
  options.unit_environment = {{"MAILVANE_REGISTRY", "/var/lib/mv/reg store.reg"},
                              {"MAILVANE_CONSOLE", "off"}};
  std::string text = UnitFileText(options);
  EXPECT_NE(text.find("RestartPreventExitStatus=78\n"
                      "Environment=\"MAILVANE_REGISTRY=/var/lib/mv/reg store.reg\"\n"
                      "Environment=\"MAILVANE_CONSOLE=off\"\n"),
            std::string::npos)
      << text;
}

TEST(ServiceOptionsFromEnvironment, DefaultsAndOverrides) {
  for (const char* name :
       {"MAILVANE_SYSTEMD_DIR", "MAILVANE_EVENTLOG", "MAILVANE_REGISTRY", "MAILVANE_CONSOLE"}) {
    ::unsetenv(name);
  }
  ServiceOptions defaults = ServiceOptionsFromEnvironment("/bin/MailvaneSvc");
  EXPECT_EQ(defaults.service_name, "Mailvane");
  EXPECT_EQ(defaults.program_path, "/bin/MailvaneSvc");
  EXPECT_EQ(defaults.unit_folder, "/etc/systemd/system");
  EXPECT_EQ(defaults.event_log, "");
  EXPECT_TRUE(defaults.unit_environment.empty());

  ::setenv("MAILVANE_SYSTEMD_DIR", "/tmp/units", 1);
  ::setenv("MAILVANE_EVENTLOG", "/tmp/events.log", 1);
  ::setenv("MAILVANE_REGISTRY", "/tmp/reg.reg", 1);
  ServiceOptions set = ServiceOptionsFromEnvironment("/bin/MailvaneSvc");
  EXPECT_EQ(set.unit_folder, "/tmp/units");
  EXPECT_EQ(set.event_log, "/tmp/events.log");
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(set.unit_environment, (Pairs{{"MAILVANE_REGISTRY", "/tmp/reg.reg"},
                                         {"MAILVANE_EVENTLOG", "/tmp/events.log"}}));
  for (const char* name : {"MAILVANE_SYSTEMD_DIR", "MAILVANE_EVENTLOG", "MAILVANE_REGISTRY"}) {
    ::unsetenv(name);
  }
}

TEST_F(ServiceControlTest, InstallWritesTheUnitAndReplacesAnEarlierOne) {
  Control().SetInstallOption(true);
  ASSERT_TRUE(Control().Install());
  EXPECT_EQ(ReadFile(dir_ / "mailvane.service"), UnitFileText(options_));
  EXPECT_EQ(fs::status(dir_ / "mailvane.service").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);

  options_.program_path = "/usr/local/bin/MailvaneSvc";
  control_.reset();
  ASSERT_TRUE(Control().Install());
  EXPECT_EQ(ReadFile(dir_ / "mailvane.service"), UnitFileText(options_));
  // Only the unit is left in the folder: no temporary file.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

// The log folder is a setting in the store, read when the unit is written: the unit lets the
// service write there.
TEST_F(ServiceControlTest, InstallMakesTheStoresLogFolderWritable) {
  struct Case {
    std::string log_dir;
    std::string line;
  } cases[] = {
      {"/srv/mailvane/logs", "ReadWritePaths=-/srv/mailvane/logs\n"},
      {"/srv/mailvane/logs/", "ReadWritePaths=-/srv/mailvane/logs\n"},
      {"/srv/mailvane/logs\\", "ReadWritePaths=-/srv/mailvane/logs\n"},
      {"logs", "ReadWritePaths=-/opt/mailvane/bin/logs\n"},
      {"/var/log/mailvane/", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    store_.SetStringValue("SOFTWARE\\Mailvane", "LogDir", c.log_dir);
    control_.reset();
    ASSERT_TRUE(Control().Install());
    std::string text = ReadFile(dir_ / "mailvane.service");
    if (c.line.empty()) {
      EXPECT_EQ(text.find("ReadWritePaths="), std::string::npos) << c.log_dir << "\n" << text;
    } else {
      EXPECT_NE(text.find(c.line), std::string::npos) << c.log_dir << "\n" << text;
    }
    EXPECT_EQ(store_.open_handles(), 0u);
  }
}

TEST_F(ServiceControlTest, InstallFailsWithoutTheFolder) {
  options_.unit_folder = (dir_ / "missing").string();
  EXPECT_FALSE(Control().Install());
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(ServiceControlTest, Uninstall) {
  EXPECT_FALSE(Control().Uninstall());
  ASSERT_TRUE(Control().Install());
  EXPECT_TRUE(Control().Uninstall());
  EXPECT_FALSE(fs::exists(dir_ / "mailvane.service"));
  EXPECT_FALSE(Control().Uninstall());
}

TEST_F(ServiceControlTest, EventLogFileGetsOneLinePerEntry) {
  options_.event_log = (dir_ / "events.log").string();
  EXPECT_FALSE(Control().LogEvent(1, 109, "[Failed to install]"));
  EXPECT_FALSE(Control().LogEvent(1, 109, "[5] two\nlines"));
  EXPECT_FALSE(Control().LogEvent(4, 0, ""));
  EXPECT_EQ(ReadFile(dir_ / "events.log"),
            "1 109 [Failed to install]\n1 109 [5] two lines\n4 0 \n");
}

TEST_F(ServiceControlTest, EventLogFileThatCannotBeOpenedIsAnError) {
  options_.event_log = (dir_ / "no-folder" / "events.log").string();
  EXPECT_TRUE(Control().LogEvent(1, 109, "[Invalid command option]"));
}

TEST_F(ServiceControlTest, SaveSettingStoresAStringWithItsTerminator) {
  EXPECT_FALSE(Control().SaveSetting("Parameters", "TimerInterval", "65535"));
  std::optional<StoredValue> value = store_.GetRawValue(
      "SYSTEM\\CurrentControlSet\\Services\\Mailvane\\Parameters", "TimerInterval");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, REG_SZ);
  EXPECT_EQ(value->data, std::string("65535\0", 6));
  EXPECT_EQ(store_.open_handles(), 0u);
}

TEST_F(ServiceControlTest, SaveSettingReportsTheStoresResult) {
  store_.FailNthWrite(1);
  std::error_code error = Control().SaveSetting("Parameters", "TimerInterval", "65535");
  EXPECT_EQ(error.value(), kFakeWriteFault);
  EXPECT_EQ(store_.open_handles(), 0u);
  store_.set_read_only(true);
  EXPECT_EQ(Control().SaveSetting("Parameters", "TimerInterval", "65535").value(),
            ERROR_ACCESS_DENIED);
}

TEST_F(ServiceControlTest, StartServiceNeedsEvents) { EXPECT_TRUE(Control().StartService()); }

TEST_F(ServiceControlTest, SignalsAreServiceRequestsOnTheLoop) {
  Control().SetEvents(&events_);
  Control().SetControlsAccepted(kServiceControlPauseContinue);
  ASSERT_FALSE(Control().StartService());
  EXPECT_EQ(events_.requests, (std::vector<std::string>{"Start"}));
  RaiseAndWait(SIGUSR1, 2);
  RaiseAndWait(SIGUSR2, 3);
  RaiseAndWait(SIGHUP, 4);
  RaiseAndWait(SIGTERM, 5);
  RaiseAndWait(SIGTERM, 6);  // a second stop request is not delivered again
  EXPECT_EQ(events_.requests,
            (std::vector<std::string>{"Start", "Pause", "Continue", "Control 6", "Stop"}));
}

TEST_F(ServiceControlTest, PauseAndContinueAreIgnoredUnlessAccepted) {
  Control().SetEvents(&events_);
  ASSERT_FALSE(Control().StartService());
  ASSERT_EQ(::raise(SIGUSR1), 0);
  ASSERT_EQ(::raise(SIGUSR2), 0);
  Settle();
  RaiseAndWait(SIGTERM, 2);
  EXPECT_EQ(events_.requests, (std::vector<std::string>{"Start", "Stop"}));
}

TEST_F(ServiceControlTest, InterruptStopsInDebugMode) {
  Control().SetEvents(&events_);
  Control().SetDebug(true);
  ASSERT_FALSE(Control().StartService());
  RaiseAndWait(SIGINT, 2);
  EXPECT_EQ(events_.requests, (std::vector<std::string>{"Start", "Stop"}));
}

TEST_F(ServiceControlTest, ReleasingTheControlRestoresDefaultSignalActions) {
  Control().SetEvents(&events_);
  Control().SetDebug(true);
  ASSERT_FALSE(Control().StartService());
  control_.reset();
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) {
    struct sigaction action {};
    ASSERT_EQ(::sigaction(signal, nullptr, &action), 0);
    EXPECT_EQ(action.sa_handler, SIG_DFL) << signal;
  }
}

// A notify socket of the test's own, named by NOTIFY_SOCKET as systemd would.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string text = path.string();
    text.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::setenv("NOTIFY_SOCKET", text.c_str(), 1);
  }
  ~NotifySocket() { ::close(fd_); }
  // The next datagram, or "" when none is waiting.
  std::string Next() {
    char buffer[512];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  int fd_ = -1;
};

TEST_F(ServiceControlTest, TellsSystemdReadyPausedRunningAndStopping) {
  NotifySocket notify(dir_ / "notify");
  std::string pending_at_stop;
  events_.on_stop = [&] { pending_at_stop = notify.Next(); };
  Control().SetEvents(&events_);
  Control().SetControlsAccepted(kServiceControlPauseContinue);
  Control().NotifyReady();  // before the service is connected: nothing
  ASSERT_FALSE(Control().StartService());
  EXPECT_EQ(notify.Next(), "");  // connected is not ready: the listener does not listen yet
  Control().NotifyReady();
  Control().NotifyReady();
  EXPECT_EQ(notify.Next(), "READY=1");
  EXPECT_EQ(notify.Next(), "");  // once
  RaiseAndWait(SIGUSR1, 2);
  EXPECT_EQ(notify.Next(), "STATUS=Paused");
  RaiseAndWait(SIGUSR2, 3);
  EXPECT_EQ(notify.Next(), "STATUS=Running");
  RaiseAndWait(SIGTERM, 4);
  EXPECT_EQ(pending_at_stop, "STOPPING=1");  // told before the service window unloads
  EXPECT_EQ(notify.Next(), "");
}

TEST_F(ServiceControlTest, DebugModeTellsSystemdNothing) {
  NotifySocket notify(dir_ / "notify");
  Control().SetEvents(&events_);
  Control().SetDebug(true);
  ASSERT_FALSE(Control().StartService());
  Control().NotifyReady();
  RaiseAndWait(SIGTERM, 2);
  EXPECT_EQ(events_.requests.size(), 2u);
  EXPECT_EQ(notify.Next(), "");
}

TEST_F(ServiceControlTest, AStartThatFailedIsNeverReady) {
  NotifySocket notify(dir_ / "notify");
  events_.start_ok = false;
  Control().SetEvents(&events_);
  ASSERT_FALSE(Control().StartService());
  Control().NotifyReady();
  EXPECT_EQ(notify.Next(), "");
}

}  // namespace
}  // namespace mailvane
