// Objects in child processes. The child gets its end of a socket pair as descriptor 3 (named in
// MAILVANE_AUTOMATION_FD), no other descriptor of ours, a process group of its own, and SIGTERM
// when the creating thread ends. Calls block on poll with a deadline; after a time-out or a
// protocol error the connection is closed and the child killed, because its later answers would be
// out of step. Between calls the connection is watched on the loop for its peer's end (POLLRDHUP
// tells that end apart from readable data, so an answer left unread cannot hide it).
#include "platform/automation/object_factory_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "platform/automation/automation_json.h"
#include "platform/loop/asio_loop.h"

extern char** environ;

namespace mailvane {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

constexpr int kChildFd = 3;
// How long a released object's program may take to end on its own before it is killed.
constexpr std::chrono::milliseconds kExitGrace{2000};
constexpr std::chrono::milliseconds kExitPollStep{10};

CallResult CantCreate(const std::string& progid) {
  return CallResult{kErrCantCreate, kCantCreateText, progid, {}};
}

CallResult Unavailable() { return CallResult{kErrUnavailable, kUnavailableText, "", {}}; }

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

// Kills the program and whatever it started (its own process group), and reaps it; never leaves
// a zombie.
void KillAndReap(pid_t pid) {
  if (pid <= 0) return;
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Waits up to grace for the child to end by itself, then kills it.
void ReapWithGrace(pid_t pid, std::chrono::milliseconds grace) {
  if (pid <= 0) return;
  const int steps = static_cast<int>(grace / kExitPollStep);
  for (int i = 0; i <= steps; ++i) {
    pid_t done = ::waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    std::this_thread::sleep_for(kExitPollStep);
  }
  KillAndReap(pid);
}

enum class ReadStatus { kLine, kClosed, kTimeout, kProtocolError };

// Reads until lines holds a complete line, the peer closes, or the deadline passes.
ReadStatus ReadLine(int fd, LineBuffer& lines, Clock::time_point deadline, std::string* line) {
  char chunk[64 * 1024];
  for (;;) {
    if (lines.Next(line)) return ReadStatus::kLine;
    if (lines.Overflowed()) return ReadStatus::kProtocolError;
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ReadStatus::kClosed;
    if (ready == 0) return ReadStatus::kTimeout;
    ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return ReadStatus::kClosed;
    lines.Append(std::string_view(chunk, static_cast<size_t>(got)));
  }
}

// Writes all of data before the deadline; false on time-out or a closed peer.
bool WriteAll(int fd, std::string_view data, Clock::time_point deadline) {
  while (!data.empty()) {
    ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd entry{fd, POLLOUT, 0};
    int ready = ::poll(&entry, 1, MillisecondsLeft(deadline));
    if (ready == 0) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
  return true;
}

// Whether the peer has closed its end (or the socket failed), without reading anything.
bool PeerClosed(int fd) {
  pollfd entry{fd, POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// What an object shares with the loop's handlers that watch its connection; it outlives the
// object while such a handler is pending, and released tells the handler the object is gone.
struct CloseWatch {
  explicit CloseWatch(asio::io_context& context) : descriptor(context) {}
  asio::posix::stream_descriptor descriptor;  // the connection, watched but never owned
  std::function<void()> handler;
  bool released = false;

  // Runs the handler once, unless the object was released.
  static void Report(const std::shared_ptr<CloseWatch>& watch) {
    if (watch->released || !watch->handler) return;
    std::function<void()> handler = std::move(watch->handler);
    watch->handler = nullptr;
    handler();
  }

  // Readiness also comes from answers that a call has read already: only a closed peer counts.
  static void Arm(const std::shared_ptr<CloseWatch>& watch) {
    watch->descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                                 [watch](const boost::system::error_code& error) {
                                   if (error == asio::error::operation_aborted || watch->released ||
                                       !watch->descriptor.is_open()) {
                                     return;
                                   }
                                   if (!error && !PeerClosed(watch->descriptor.native_handle()))
                                     return Arm(watch);
                                   Report(watch);
                                 });
  }

  void StopWatching() {
    if (!descriptor.is_open()) return;
    descriptor.release();  // cancels the wait; the descriptor stays open for its owner
  }
};

class ChildProcessObject final : public AutomationObject {
 public:
  ChildProcessObject(asio::io_context& context, int fd, pid_t pid, LineBuffer lines,
                     AutomationOptions options)
      : context_(context),
        watch_(std::make_shared<CloseWatch>(context)),
        fd_(fd),
        pid_(pid),
        lines_(std::move(lines)),
        options_(options) {}

  ~ChildProcessObject() override {
    watch_->released = true;
    watch_->handler = nullptr;
    CloseConnection();
    ReapWithGrace(pid_, kExitGrace);
  }

  void OnClosed(std::function<void()> handler) override {
    watch_->handler = std::move(handler);
    if (fd_ < 0) {  // closed already: tell on the loop, as a watch would
      asio::post(context_, [watch = watch_] { CloseWatch::Report(watch); });
      return;
    }
    if (watch_->descriptor.is_open()) return;
    boost::system::error_code error;
    watch_->descriptor.assign(fd_, error);
    if (error) {
      asio::post(context_, [watch = watch_] { CloseWatch::Report(watch); });
      return;
    }
    CloseWatch::Arm(watch_);
  }

  CallResult Call(const std::string& member, const std::vector<Variant>& args) override {
    if (fd_ < 0) return Unavailable();
    const Clock::time_point deadline = Clock::now() + options_.call_timeout;
    const int64_t id = ++last_id_;
    if (!WriteAll(fd_, EncodeRequestLine({id, member, args}), deadline)) return Fail();
    std::string line;
    if (ReadLine(fd_, lines_, deadline, &line) != ReadStatus::kLine) return Fail();
    std::optional<AutomationAnswer> answer = DecodeAnswerLine(line);
    if (!answer || answer->id != id) return Fail();
    return std::move(answer->result);
  }

  pid_t pid() const { return pid_; }

 private:
  // The connection is no longer in step: end it and the program behind it.
  CallResult Fail() {
    CloseConnection();
    KillAndReap(pid_);
    pid_ = -1;
    asio::post(context_, [watch = watch_] { CloseWatch::Report(watch); });
    return Unavailable();
  }

  void CloseConnection() {
    watch_->StopWatching();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  asio::io_context& context_;
  std::shared_ptr<CloseWatch> watch_;
  int fd_;
  pid_t pid_;
  LineBuffer lines_;
  AutomationOptions options_;
  int64_t last_id_ = 0;
};

// What the child needs, made before fork so that the child only makes async-signal-safe calls.
struct ChildLaunch {
  std::string path;
  std::vector<std::string> environment;
  std::vector<char*> argv;
  std::vector<char*> envp;

  explicit ChildLaunch(std::string program) : path(std::move(program)) {
    const std::string prefix = std::string(kAutomationFdVariable) + "=";
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0)
        environment.emplace_back(*entry);
    }
    environment.push_back(prefix + std::to_string(kChildFd));
    argv = {path.data(), nullptr};
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }
};

[[noreturn]] void RunChild(const ChildLaunch& launch, int fd, pid_t parent) {
  // SIGTERM when the creator dies; if it died already, there is nobody to serve.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(127);
  ::setpgid(0, 0);  // a group of its own, so that a kill reaches what it starts as well
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  if (fd == kChildFd) {
    ::fcntl(fd, F_SETFD, 0);
  } else if (::dup2(fd, kChildFd) < 0) {
    ::_exit(127);
  }
  ::close_range(kChildFd + 1, ~0U, 0);
  ::execve(launch.path.c_str(), launch.argv.data(), launch.envp.data());
  ::_exit(127);
}

class ChildProcessObjectFactory final : public ObjectFactory {
 public:
  ChildProcessObjectFactory(asio::io_context& context, std::map<std::string, std::string> programs,
                            AutomationOptions options)
      : context_(context), programs_(std::move(programs)), options_(options) {}

  CallResult CreateObject(const std::string& progid,
                          std::unique_ptr<AutomationObject>* object) override {
    auto program = programs_.find(progid);
    if (program == programs_.end() || ::access(program->second.c_str(), X_OK) != 0) {
      return CantCreate(progid);
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return CantCreate(progid);
    ChildLaunch launch(program->second);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) RunChild(launch, fds[1], parent);
    ::close(fds[1]);
    if (pid > 0) ::setpgid(pid, pid);  // either side may be first; both ask for the same
    if (pid < 0) {
      ::close(fds[0]);
      return CantCreate(progid);
    }
    LineBuffer lines;
    std::string line;
    const Clock::time_point deadline = Clock::now() + options_.create_timeout;
    if (ReadLine(fds[0], lines, deadline, &line) != ReadStatus::kLine || !IsReadyLine(line)) {
      ::close(fds[0]);
      KillAndReap(pid);
      return CantCreate(progid);
    }
    *object =
        std::make_unique<ChildProcessObject>(context_, fds[0], pid, std::move(lines), options_);
    return {};
  }

 private:
  asio::io_context& context_;
  std::map<std::string, std::string> programs_;
  AutomationOptions options_;
};

}  // namespace

std::unique_ptr<ObjectFactory> NewChildProcessObjectFactory(
    EventLoop& loop, std::map<std::string, std::string> programs, AutomationOptions options) {
  return std::make_unique<ChildProcessObjectFactory>(AsioContext(loop), std::move(programs),
                                                     options);
}

pid_t ChildProcessId(const AutomationObject& object) {
  const auto* child = dynamic_cast<const ChildProcessObject*>(&object);
  return child == nullptr ? -1 : child->pid();
}

}  // namespace mailvane
