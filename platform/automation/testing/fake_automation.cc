#include "platform/automation/testing/fake_automation.h"

#include <algorithm>
#include <set>
#include <sstream>
#include <utility>

namespace mailvane {

namespace {

constexpr int kCantCreateObject = 429;
constexpr char kCantCreateObjectText[] = "ActiveX component can't create object";
constexpr int kUnavailable = 462;
constexpr char kUnavailableText[] = "The remote server machine does not exist or is unavailable";

}  // namespace

struct FakeAutomationState {
  std::set<std::string> programs;
  std::set<std::string> failing;
  std::map<std::pair<std::string, std::string>, FakeObjectFactory::Method> methods;
  std::vector<std::string> timeline;
  std::vector<FakeObjectFactory::Call> calls;
  std::vector<FakeObjectFactory::Call> posts;
  bool drop_posts = false;
  bool hold_starts = false;
  std::vector<std::function<void()>> held_starts;
  std::vector<FakeAutomationObject*> live;
  int live_objects = 0;
};

std::string VariantText(const Variant& value) {
  struct Visitor {
    std::string operator()(std::monostate) const { return ""; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(int64_t n) const { return std::to_string(n); }
    std::string operator()(double d) const {
      std::ostringstream out;
      out << d;
      return out.str();
    }
    std::string operator()(const std::string& s) const { return "\"" + s + "\""; }
  };
  return std::visit(Visitor{}, value);
}

FakeObjectFactory::FakeObjectFactory() : state_(std::make_shared<FakeAutomationState>()) {}

void FakeObjectFactory::AddProgram(const std::string& progid) {
  state_->programs.insert(progid);
  state_->failing.erase(progid);
}

void FakeObjectFactory::FailCreation(const std::string& progid) { state_->failing.insert(progid); }

void FakeObjectFactory::SetResult(const std::string& progid, const std::string& member,
                                  CallResult result) {
  SetMethod(progid, member, [result](const std::vector<Variant>&) { return result; });
}

void FakeObjectFactory::SetMethod(const std::string& progid, const std::string& member,
                                  Method method) {
  state_->methods[{progid, member}] = std::move(method);
}

CallResult FakeObjectFactory::CreateObject(const std::string& progid,
                                           std::unique_ptr<AutomationObject>* object) {
  if (!state_->programs.contains(progid) || state_->failing.contains(progid)) {
    state_->timeline.push_back("create failed " + progid);
    return CallResult{kCantCreateObject, kCantCreateObjectText, progid, {}};
  }
  state_->timeline.push_back("create " + progid);
  ++state_->live_objects;
  *object = std::make_unique<FakeAutomationObject>(state_, progid);
  return {};
}

void FakeObjectFactory::StartObject(const std::string& progid, StartedHandler done) {
  auto finish = [this, progid, done = std::move(done)] {
    std::unique_ptr<AutomationObject> object;
    CallResult result = CreateObject(progid, &object);
    done(std::move(result), std::move(object));
  };
  if (!state_->hold_starts) return finish();
  state_->timeline.push_back("start held " + progid);
  state_->held_starts.push_back(std::move(finish));
}

void FakeObjectFactory::HoldStarts(bool hold) { state_->hold_starts = hold; }

int FakeObjectFactory::ReadyHeldStarts() {
  std::vector<std::function<void()>> held = std::move(state_->held_starts);
  state_->held_starts.clear();
  for (auto& finish : held) finish();
  return static_cast<int>(held.size());
}

int FakeObjectFactory::EndProgram(const std::string& progid) {
  std::vector<std::function<void()>> handlers;
  int ended = 0;
  for (FakeAutomationObject* object : state_->live) {
    if (object->progid_ != progid || object->closed_) continue;
    object->closed_ = true;
    ++ended;
    state_->timeline.push_back("closed " + progid);
    if (object->on_closed_) handlers.push_back(std::move(object->on_closed_));
    object->on_closed_ = nullptr;
  }
  for (auto& handler : handlers) handler();  // a handler may release its object
  return ended;
}

int FakeObjectFactory::RaiseEvent(const std::string& progid, const std::string& name,
                                  const std::vector<Variant>& args) {
  std::vector<EventHandler> handlers;
  for (FakeAutomationObject* object : state_->live) {
    if (object->progid_ == progid && !object->closed_ && object->on_event_)
      handlers.push_back(object->on_event_);
  }
  for (auto& handler : handlers) handler(name, args);
  return static_cast<int>(handlers.size());
}

void FakeObjectFactory::DropPosts(bool drop) { state_->drop_posts = drop; }

const std::vector<FakeObjectFactory::Call>& FakeObjectFactory::posts() const {
  return state_->posts;
}

const std::vector<std::string>& FakeObjectFactory::timeline() const { return state_->timeline; }
const std::vector<FakeObjectFactory::Call>& FakeObjectFactory::calls() const {
  return state_->calls;
}
int FakeObjectFactory::live_objects() const { return state_->live_objects; }

FakeAutomationObject::FakeAutomationObject(std::shared_ptr<FakeAutomationState> state,
                                           std::string progid)
    : state_(std::move(state)), progid_(std::move(progid)) {
  state_->live.push_back(this);
}

FakeAutomationObject::~FakeAutomationObject() {
  FakeAutomationState* state = state_.get();
  state->timeline.push_back("release " + progid_);
  --state->live_objects;
  std::erase(state->live, this);
}

namespace {

std::string Invocation(const std::string& kind, const std::string& progid,
                       const std::string& member, const std::vector<Variant>& args) {
  std::string line = kind + " " + progid + "." + member + "(";
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) line += ",";
    line += VariantText(args[i]);
  }
  return line + ")";
}

}  // namespace

bool FakeAutomationObject::Post(const std::string& member, const std::vector<Variant>& args) {
  FakeAutomationState* state = state_.get();
  if (closed_ || state->drop_posts) {
    state->timeline.push_back(Invocation("post dropped", progid_, member, args));
    return false;
  }
  state->timeline.push_back(Invocation("post", progid_, member, args));
  state->posts.push_back({progid_, member, args});
  auto method = state->methods.find({progid_, member});
  if (method != state->methods.end()) method->second(args);
  return true;
}

CallResult FakeAutomationObject::Call(const std::string& member, const std::vector<Variant>& args) {
  FakeAutomationState* state = state_.get();
  state->timeline.push_back(Invocation("call", progid_, member, args));
  state->calls.push_back({progid_, member, args});
  if (closed_) return CallResult{kUnavailable, kUnavailableText, "", {}};
  auto method = state->methods.find({progid_, member});
  if (method == state->methods.end()) return {};
  return method->second(args);
}

}  // namespace mailvane
