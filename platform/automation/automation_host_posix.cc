// The object's side of the connection, on the program's loop. Requests and posts are served one
// at a time in the order they arrive; every handler keeps the connection state alive until it
// completes, so destroying the host while the loop still holds its handlers is safe. Output
// (answers and events) is queued and written asynchronously; the queued bytes bound the events.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <string_view>

#include "platform/automation/automation.h"
#include "platform/automation/automation_json.h"
#include "platform/loop/asio_loop.h"

namespace mailvane {
namespace {

namespace asio = boost::asio;
using Socket = asio::local::stream_protocol::socket;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::io_context& context, int fd) : socket_(context) {
    boost::system::error_code error;
    socket_.assign(asio::local::stream_protocol(), fd, error);
    if (error) ::close(fd);
  }

  bool is_open() const { return socket_.is_open(); }

  void Register(const std::string& member, AutomationHost::Method method) {
    methods_[member] = std::move(method);
  }
  void OnDisconnect(std::function<void()> handler) { on_disconnect_ = std::move(handler); }

  void Ready() {
    if (ready_ || closed_) return;
    ready_ = true;
    Send(EncodeReadyLine());
    Read();
  }

  // Closes without telling the handler: the host is going away.
  void Close() {
    on_disconnect_ = nullptr;
    Shut();
  }

  bool Raise(const std::string& name, const std::vector<Variant>& args) {
    if (!ready_ || closed_) return false;
    std::string line = EncodeEventLine({name, args});
    if (queued_bytes_ + line.size() > kMaxQueuedEventBytes) return false;
    Send(std::move(line));
    return true;
  }

 private:
  void Read() {
    if (closed_) return;
    socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](
                                                      const boost::system::error_code& error,
                                                      size_t size) { self->OnRead(error, size); });
  }

  void OnRead(const boost::system::error_code& error, size_t size) {
    if (closed_) return;
    if (error) return Disconnect();
    lines_.Append(std::string_view(chunk_.data(), size));
    std::string line;
    while (lines_.Next(&line)) {
      if (std::optional<AutomationRequest> request = DecodeRequestLine(line)) {
        Send(EncodeAnswerLine(request->id, Dispatch(request->member, request->args)));
      } else if (std::optional<AutomationMessage> post = DecodePostLine(line)) {
        Dispatch(post->name, post->args);  // never answered
      } else {
        return Disconnect();  // a creator out of step cannot be answered
      }
      if (closed_) return;  // the method may have ended the connection
    }
    if (lines_.Overflowed()) return Disconnect();
    Read();
  }

  CallResult Dispatch(const std::string& member, const std::vector<Variant>& args) {
    auto method = methods_.find(member);
    if (method == methods_.end()) return CallResult{kErrNoMember, kNoMemberText, "", {}};
    try {
      return method->second(args);
    } catch (const std::exception&) {
      return CallResult{kErrAutomationError, kAutomationErrorText, "", {}};
    } catch (...) {
      return CallResult{kErrAutomationError, kAutomationErrorText, "", {}};
    }
  }

  void Send(std::string line) {
    if (closed_) return;
    queued_bytes_ += line.size();
    outgoing_.push_back(std::move(line));
    if (outgoing_.size() == 1) WriteNext();
  }

  void WriteNext() {
    asio::async_write(socket_, asio::buffer(outgoing_.front()),
                      [self = shared_from_this()](const boost::system::error_code& error, size_t) {
                        if (self->closed_) return;
                        if (error) return self->Disconnect();
                        self->queued_bytes_ -= self->outgoing_.front().size();
                        self->outgoing_.pop_front();
                        if (!self->outgoing_.empty()) self->WriteNext();
                      });
  }

  void Shut() {
    if (closed_) return;
    closed_ = true;
    boost::system::error_code ignored;
    socket_.close(ignored);
    outgoing_.clear();
    queued_bytes_ = 0;
  }

  void Disconnect() {
    std::function<void()> handler = std::move(on_disconnect_);
    on_disconnect_ = nullptr;
    Shut();
    if (handler) handler();
  }

  Socket socket_;
  std::map<std::string, AutomationHost::Method> methods_;
  std::function<void()> on_disconnect_;
  LineBuffer lines_;
  std::array<char, 64 * 1024> chunk_{};
  std::deque<std::string> outgoing_;
  size_t queued_bytes_ = 0;  // of outgoing_, the line being written included
  bool ready_ = false;
  bool closed_ = false;
};

class PosixAutomationHost final : public AutomationHost {
 public:
  explicit PosixAutomationHost(std::shared_ptr<Connection> connection)
      : connection_(std::move(connection)) {}
  ~PosixAutomationHost() override { connection_->Close(); }

  void Register(const std::string& member, Method method) override {
    connection_->Register(member, std::move(method));
  }
  void Ready() override { connection_->Ready(); }
  bool Raise(const std::string& name, const std::vector<Variant>& args) override {
    return connection_->Raise(name, args);
  }
  void OnDisconnect(std::function<void()> handler) override {
    connection_->OnDisconnect(std::move(handler));
  }

 private:
  std::shared_ptr<Connection> connection_;
};

// The descriptor named by the variable, when it is an open socket.
int ConnectionFd() {
  const char* text = std::getenv(kAutomationFdVariable);
  if (text == nullptr) return -1;
  std::string_view digits(text);
  int fd = -1;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), fd);
  if (error != std::errc() || end != digits.data() + digits.size() || fd < 0) return -1;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) return -1;
  // Programs this one starts must not inherit the connection.
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

}  // namespace

std::unique_ptr<AutomationHost> NewAutomationHostFromEnvironment(EventLoop& loop) {
  int fd = ConnectionFd();
  if (fd < 0) return nullptr;
  auto connection = std::make_shared<Connection>(AsioContext(loop), fd);
  if (!connection->is_open()) return nullptr;
  return std::make_unique<PosixAutomationHost>(std::move(connection));
}

}  // namespace mailvane
