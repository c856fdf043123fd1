// Out-of-process automation: an object created by programmatic identifier runs in the program
// registered for that identifier, started as a child process; calls by member name are
// synchronous requests and answers over a socket pair, one JSON line each way. Beside them go
// one-way messages that are never answered: posts from the creator to a member of the object,
// and events from the object to its creator.
//
// Client side (the creating program): ObjectFactory and AutomationObject, called on its loop
// thread; a call blocks until the answer or the time-out, while the end of an object's
// connection and its events are watched on that loop. Server side (the object's program):
// AutomationHost on that program's loop.
#ifndef MAILVANE_PLATFORM_AUTOMATION_AUTOMATION_H_
#define MAILVANE_PLATFORM_AUTOMATION_AUTOMATION_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace mailvane {

class EventLoop;

using Variant = std::variant<std::monostate, bool, int64_t, double, std::string>;

// The outcome of a creation or a call. error_number 0 is success; otherwise the error raised in
// the object (number and description as raised) or by the layer: 429 the object cannot be created,
// 462 the object's program does not answer (time-out or gone).
struct CallResult {
  int error_number = 0;
  std::string description;
  std::string source;
  Variant value;
};

// Posts that the object's program has not read yet, at most; a post beyond is dropped.
inline constexpr size_t kMaxPendingPostBytes = 256 * 1024;
// Output that the creator has not read yet, at most, for an event to be queued; answers are
// queued whatever waits, since a creator that waits for an answer reads.
inline constexpr size_t kMaxQueuedEventBytes = 256 * 1024;

using EventHandler = std::function<void(const std::string& name, const std::vector<Variant>& args)>;

class AutomationObject {
 public:
  AutomationObject() = default;
  AutomationObject(const AutomationObject&) = delete;
  AutomationObject& operator=(const AutomationObject&) = delete;
  // Releasing the object closes the connection; the object's program ends when it sees that.
  virtual ~AutomationObject() = default;

  virtual CallResult Call(const std::string& member, const std::vector<Variant>& args) = 0;
  // Sends a one-way message to member, never answered; it never waits for the object's program
  // (what the socket does not take now is sent from the loop) and goes before any later call.
  // False, and the post is dropped, when the connection is closed or kMaxPendingPostBytes of
  // posts already wait unread.
  virtual bool Post(const std::string& member, const std::vector<Variant>& args) = 0;
  // Runs handler on the loop for each event of the object, in the order raised. Events that
  // arrive while a call waits for its answer are kept and run after it, in a later turn of the
  // loop. Events without a handler are dropped. Never runs after the release; the handler may
  // release the object.
  virtual void OnEvent(EventHandler handler) = 0;
  // Runs handler on the loop, once, when the connection to the object's program closes for any
  // reason but the release of this object: the program ended, crashed or was killed, or a call
  // found it gone or out of step. From then on calls answer 462. Never runs after the release;
  // a later OnClosed replaces the handler. The handler may release the object.
  virtual void OnClosed(std::function<void()> handler) = 0;
};

struct AutomationOptions {
  std::chrono::milliseconds create_timeout{30'000};  // until the object's program is ready
  std::chrono::milliseconds call_timeout{60'000};
};

class ObjectFactory {
 public:
  ObjectFactory() = default;
  ObjectFactory(const ObjectFactory&) = delete;
  ObjectFactory& operator=(const ObjectFactory&) = delete;
  virtual ~ObjectFactory() = default;

  // Starts the program registered for progid and waits until it is ready; *object is set when
  // the result is 0.
  virtual CallResult CreateObject(const std::string& progid,
                                  std::unique_ptr<AutomationObject>* object) = 0;
  // The same without waiting: done runs on the loop, once, with the object when its program is
  // ready, or with the failure CreateObject would give (429, the object null) and the program
  // ended. Until then the loop serves everything else.
  using StartedHandler =
      std::function<void(CallResult result, std::unique_ptr<AutomationObject> object)>;
  virtual void StartObject(const std::string& progid, StartedHandler done) = 0;
};

// Identifiers and the absolute paths of the programs that serve them. The loop (made by
// NewEventLoop) is where OnClosed handlers run; it must outlive the factory and its objects.
std::unique_ptr<ObjectFactory> NewChildProcessObjectFactory(
    EventLoop& loop, std::map<std::string, std::string> programs, AutomationOptions options = {});

// The handler's one-way members beside "Wake": an administrator's actions on a queued message,
// posted with two strings, the spool name and a recipient as written (empty: every recipient).
inline constexpr char kRetryMember[] = "Retry";
inline constexpr char kCancelMember[] = "Cancel";
// Posts an action to the handler object; false when the post was dropped (see Post).
inline bool PostRetry(AutomationObject& handler, const std::string& spool_name,
                      const std::string& recipient) {
  return handler.Post(kRetryMember, {spool_name, recipient});
}
inline bool PostCancel(AutomationObject& handler, const std::string& spool_name,
                       const std::string& recipient) {
  return handler.Post(kCancelMember, {spool_name, recipient});
}

// The environment variable that tells a started program which descriptor is its connection.
inline constexpr char kAutomationFdVariable[] = "MAILVANE_AUTOMATION_FD";

// The object's side: serves calls by member name on the loop.
class AutomationHost {
 public:
  using Method = std::function<CallResult(const std::vector<Variant>& args)>;

  AutomationHost() = default;
  AutomationHost(const AutomationHost&) = delete;
  AutomationHost& operator=(const AutomationHost&) = delete;
  virtual ~AutomationHost() = default;

  // The member serves calls and posts alike; a post's result, errors included, is dropped.
  virtual void Register(const std::string& member, Method method) = 0;
  // Sends a one-way event to the creator, behind the answers and events not yet written; it never
  // waits for the creator. False, and the event is dropped, before Ready, when the connection is
  // closed, or when the output the creator has not read would pass kMaxQueuedEventBytes.
  virtual bool Raise(const std::string& name, const std::vector<Variant>& args) = 0;
  // Tells the creator that the object exists (after its class initialisation), then serves calls.
  virtual void Ready() = 0;
  // Runs on the loop when the creator's end of the connection closes.
  virtual void OnDisconnect(std::function<void()> handler) = 0;
};

// The host on the connection named by kAutomationFdVariable; null when the program was not
// started by an ObjectFactory.
std::unique_ptr<AutomationHost> NewAutomationHostFromEnvironment(EventLoop& loop);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_AUTOMATION_AUTOMATION_H_
