// Objects in child processes. The child gets its end of a socket pair as descriptor 3 (named in
// MAILVANE_AUTOMATION_FD), no other descriptor of ours, a process group of its own, and SIGTERM
// when the creating thread ends. Calls block on poll with a deadline; after a time-out or a
// protocol error the connection is closed and the child killed, because its later answers would be
// out of step. Between calls the loop reads the connection: events, and the peer's end. Posts are
// sent without waiting; what the socket does not take is sent when it is writable.
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
#include <boost/asio/steady_timer.hpp>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <thread>
#include <utility>

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

// What an object shares with the loop's handlers that watch its connection; it outlives the
// object while such a handler is pending, and released tells the handlers the object is gone.
// Between calls the loop reads the connection: events are taken up, and the end of the peer is
// seen as the end of the stream, after whatever it sent before.
class Channel : public std::enable_shared_from_this<Channel> {
 public:
  Channel(asio::io_context& context, int fd, pid_t pid, LineBuffer lines, AutomationOptions options)
      : context_(context),
        descriptor_(context),
        fd_(fd),
        pid_(pid),
        lines_(std::move(lines)),
        options_(options) {}

  // Starts watching; lines that came with the ready line are taken up on the loop.
  void Start() {
    boost::system::error_code error;
    descriptor_.assign(fd_, error);
    if (error) {
      peer_closed_ = true;
      PostReport();
      return;
    }
    ArmRead();
    asio::post(context_, [self = shared_from_this()] { self->OnReadable(); });
  }

  void Release() {
    released_ = true;
    on_closed_ = nullptr;
    on_event_ = nullptr;
    CloseConnection();
    ReapWithGrace(pid_, kExitGrace);
    pid_ = -1;
  }

  void OnClosed(std::function<void()> handler) {
    on_closed_ = std::move(handler);
    if (fd_ < 0 || peer_closed_) PostReport();  // closed already: tell on the loop
  }
  void OnEvent(EventHandler handler) { on_event_ = std::move(handler); }

  CallResult Call(const std::string& member, const std::vector<Variant>& args) {
    if (fd_ < 0) return Unavailable();
    const Clock::time_point deadline = Clock::now() + options_.call_timeout;
    const int64_t id = ++last_id_;
    std::string request = unsent_ + EncodeRequestLine({id, member, args});  // posts go first
    unsent_.clear();
    if (!WriteAll(fd_, request, deadline)) return Fail();
    std::optional<AutomationAnswer> answer;
    while (!answer) {
      std::string line;
      if (ReadLine(fd_, lines_, deadline, &line) != ReadStatus::kLine) return Fail();
      if (std::optional<AutomationMessage> event = DecodeEventLine(line)) {
        events_.push_back(std::move(*event));
        continue;
      }
      answer = DecodeAnswerLine(line);
      if (!answer || answer->id != id) return Fail();
    }
    if (!events_.empty()) {
      asio::post(context_, [self = shared_from_this()] { self->DeliverEvents(); });
    }
    return std::move(answer->result);
  }

  bool Post(const std::string& member, const std::vector<Variant>& args) {
    if (fd_ < 0 || peer_closed_) return false;
    std::string line = EncodePostLine({member, args});
    if (unsent_.size() + line.size() > kMaxPendingPostBytes) return false;
    unsent_ += line;
    Flush();
    return true;
  }

  pid_t pid() const { return pid_; }

 private:
  void ArmRead() {
    descriptor_.async_wait(asio::posix::descriptor_base::wait_read,
                           [self = shared_from_this()](const boost::system::error_code& error) {
                             if (error == asio::error::operation_aborted || self->released_ ||
                                 !self->descriptor_.is_open()) {
                               return;
                             }
                             if (error) {
                               self->peer_closed_ = true;
                               return self->Report();
                             }
                             self->OnReadable();
                           });
  }

  // Takes what the socket holds; an event is run at once, anything else between calls is out of
  // step. Readiness also comes from answers that a call has read already: then nothing is read.
  void OnReadable() {
    if (released_ || fd_ < 0) return;
    char chunk[64 * 1024];
    bool ended = false;
    for (;;) {
      ssize_t got = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got > 0) {
        lines_.Append(std::string_view(chunk, static_cast<size_t>(got)));
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      ended = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
      break;
    }
    std::string line;
    while (lines_.Next(&line)) {
      std::optional<AutomationMessage> event = DecodeEventLine(line);
      if (!event) {
        Fail();
        return;
      }
      events_.push_back(std::move(*event));
    }
    if (lines_.Overflowed()) {
      Fail();
      return;
    }
    std::shared_ptr<Channel> self = shared_from_this();  // a handler may release the object
    DeliverEvents();
    if (released_ || fd_ < 0) return;
    if (ended) {
      peer_closed_ = true;
      Report();
      return;
    }
    ArmRead();
  }

  void DeliverEvents() {
    if (delivering_) return;  // an event handler's call: the running delivery takes them up
    delivering_ = true;
    std::shared_ptr<Channel> self = shared_from_this();
    while (!released_ && !events_.empty()) {
      AutomationMessage event = std::move(events_.front());
      events_.pop_front();
      if (EventHandler handler = on_event_) handler(event.name, event.args);
    }
    delivering_ = false;
  }

  // Sends what the socket takes now; the rest when it is writable again.
  void Flush() {
    while (!unsent_.empty() && fd_ >= 0) {
      ssize_t sent = ::send(fd_, unsent_.data(), unsent_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        unsent_.erase(0, static_cast<size_t>(sent));
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ArmWrite();
      unsent_.clear();  // the peer is gone; the read watch reports it
      return;
    }
  }

  void ArmWrite() {
    if (write_armed_ || !descriptor_.is_open()) return;
    write_armed_ = true;
    descriptor_.async_wait(asio::posix::descriptor_base::wait_write,
                           [self = shared_from_this()](const boost::system::error_code& error) {
                             self->write_armed_ = false;
                             if (error || self->released_) return;
                             self->Flush();
                           });
  }

  // Runs the close handler once, unless the object was released.
  void Report() {
    if (released_ || !on_closed_) return;
    std::function<void()> handler = std::move(on_closed_);
    on_closed_ = nullptr;
    handler();
  }
  void PostReport() {
    asio::post(context_, [self = shared_from_this()] { self->Report(); });
  }

  // The connection is no longer in step: end it and the program behind it.
  CallResult Fail() {
    CloseConnection();
    KillAndReap(pid_);
    pid_ = -1;
    PostReport();
    return Unavailable();
  }

  void CloseConnection() {
    if (descriptor_.is_open()) descriptor_.release();  // cancels the waits; we own the fd
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    unsent_.clear();
  }

  asio::io_context& context_;
  asio::posix::stream_descriptor descriptor_;  // the connection, watched but never owned
  int fd_;
  pid_t pid_;
  LineBuffer lines_;  // read and not yet taken, by calls and by the watch alike
  AutomationOptions options_;
  int64_t last_id_ = 0;
  std::string unsent_;  // posts the socket has not taken yet
  std::deque<AutomationMessage> events_;
  std::function<void()> on_closed_;
  EventHandler on_event_;
  bool released_ = false;
  bool peer_closed_ = false;
  bool delivering_ = false;
  bool write_armed_ = false;
};

class ChildProcessObject final : public AutomationObject {
 public:
  explicit ChildProcessObject(std::shared_ptr<Channel> channel) : channel_(std::move(channel)) {
    channel_->Start();
  }
  ~ChildProcessObject() override { channel_->Release(); }

  CallResult Call(const std::string& member, const std::vector<Variant>& args) override {
    return channel_->Call(member, args);
  }
  bool Post(const std::string& member, const std::vector<Variant>& args) override {
    return channel_->Post(member, args);
  }
  void OnClosed(std::function<void()> handler) override { channel_->OnClosed(std::move(handler)); }
  void OnEvent(EventHandler handler) override { channel_->OnEvent(std::move(handler)); }

  pid_t pid() const { return channel_->pid(); }

 private:
  std::shared_ptr<Channel> channel_;
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

// A started program whose ready line the loop waits for, up to the creation time-out. Until it
// hands the connection on, it owns the program: dropped unfinished (the loop torn down), it ends
// it.
class PendingStart : public std::enable_shared_from_this<PendingStart> {
 public:
  PendingStart(asio::io_context& context, int fd, pid_t pid, std::string progid,
               AutomationOptions options, ObjectFactory::StartedHandler done)
      : context_(context),
        descriptor_(context),
        timer_(context),
        fd_(fd),
        pid_(pid),
        progid_(std::move(progid)),
        options_(options),
        done_(std::move(done)) {}
  PendingStart(const PendingStart&) = delete;
  PendingStart& operator=(const PendingStart&) = delete;
  ~PendingStart() {
    if (descriptor_.is_open()) descriptor_.release();
    if (fd_ >= 0) ::close(fd_);
    KillAndReap(pid_);
  }

  void Begin() {
    boost::system::error_code error;
    descriptor_.assign(fd_, error);
    if (error) {
      asio::post(context_, [self = shared_from_this()] { self->Finish(false); });
      return;
    }
    timer_.expires_after(options_.create_timeout);
    timer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
      if (!error) self->Finish(false);
    });
    ArmRead();
  }

 private:
  void ArmRead() {
    descriptor_.async_wait(asio::posix::descriptor_base::wait_read,
                           [self = shared_from_this()](const boost::system::error_code& error) {
                             if (error == asio::error::operation_aborted || self->finished_) return;
                             if (error) return self->Finish(false);
                             self->OnReadable();
                           });
  }

  void OnReadable() {
    char chunk[4096];
    for (;;) {
      ssize_t got = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got > 0) {
        lines_.Append(std::string_view(chunk, static_cast<size_t>(got)));
        std::string line;
        if (lines_.Next(&line)) return Finish(IsReadyLine(line));
        if (lines_.Overflowed()) return Finish(false);
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ArmRead();
      return Finish(false);  // the program ended or the connection failed before it was ready
    }
  }

  void Finish(bool ready) {
    if (finished_) return;
    finished_ = true;
    timer_.cancel();
    if (descriptor_.is_open()) descriptor_.release();  // cancels the read wait; we own the fd
    ObjectFactory::StartedHandler done = std::move(done_);
    if (!ready) {
      ::close(fd_);
      fd_ = -1;
      KillAndReap(pid_);
      pid_ = -1;
      done(CantCreate(progid_), nullptr);
      return;
    }
    auto channel = std::make_shared<Channel>(context_, std::exchange(fd_, -1),
                                             std::exchange(pid_, -1), std::move(lines_), options_);
    done({}, std::make_unique<ChildProcessObject>(std::move(channel)));
  }

  asio::io_context& context_;
  asio::posix::stream_descriptor descriptor_;  // the connection, watched but never owned
  asio::steady_timer timer_;
  int fd_;
  pid_t pid_;
  std::string progid_;
  AutomationOptions options_;
  ObjectFactory::StartedHandler done_;
  LineBuffer lines_;
  bool finished_ = false;
};

class ChildProcessObjectFactory final : public ObjectFactory {
 public:
  ChildProcessObjectFactory(asio::io_context& context, std::map<std::string, std::string> programs,
                            AutomationOptions options)
      : context_(context), programs_(std::move(programs)), options_(options) {}

  CallResult CreateObject(const std::string& progid,
                          std::unique_ptr<AutomationObject>* object) override {
    int fd = -1;
    pid_t pid = -1;
    if (!Launch(progid, &fd, &pid)) return CantCreate(progid);
    LineBuffer lines;
    std::string line;
    const Clock::time_point deadline = Clock::now() + options_.create_timeout;
    if (ReadLine(fd, lines, deadline, &line) != ReadStatus::kLine || !IsReadyLine(line)) {
      ::close(fd);
      KillAndReap(pid);
      return CantCreate(progid);
    }
    *object = std::make_unique<ChildProcessObject>(
        std::make_shared<Channel>(context_, fd, pid, std::move(lines), options_));
    return {};
  }

  void StartObject(const std::string& progid, StartedHandler done) override {
    int fd = -1;
    pid_t pid = -1;
    if (!Launch(progid, &fd, &pid)) {
      asio::post(context_, [done = std::move(done), progid] { done(CantCreate(progid), nullptr); });
      return;
    }
    std::make_shared<PendingStart>(context_, fd, pid, progid, options_, std::move(done))->Begin();
  }

 private:
  // Forks the program registered for progid; *fd is our end of its connection.
  bool Launch(const std::string& progid, int* fd, pid_t* pid) {
    auto program = programs_.find(progid);
    if (program == programs_.end() || ::access(program->second.c_str(), X_OK) != 0) return false;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    ChildLaunch launch(program->second);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) RunChild(launch, fds[1], parent);
    ::close(fds[1]);
    if (child < 0) {
      ::close(fds[0]);
      return false;
    }
    ::setpgid(child, child);  // either side may be first; both ask for the same
    *fd = fds[0];
    *pid = child;
    return true;
  }

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
