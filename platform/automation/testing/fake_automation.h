// An object factory for tests of the programs that create automation objects. Creation succeeds
// for the identifiers a test adds (429 "ActiveX component can't create object" for all others
// and for those it fails on purpose). Every creation, call and release is recorded in one
// timeline that outlives the proxies, and calls answer with scripted results: a member without a
// script answers success with an empty value; a post runs the member's script too and drops its
// result. A test ends an object's program with EndProgram and raises an object's events with
// RaiseEvent; there is no loop, so the OnClosed and OnEvent handlers run inside those calls.
#ifndef MAILVANE_PLATFORM_AUTOMATION_TESTING_FAKE_AUTOMATION_H_
#define MAILVANE_PLATFORM_AUTOMATION_TESTING_FAKE_AUTOMATION_H_

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/automation/automation.h"

namespace mailvane {

// The text of a value as the timeline shows it: empty, true/false, the number, or "text".
std::string VariantText(const Variant& value);

struct FakeAutomationState;  // what a factory and its proxies share

class FakeObjectFactory final : public ObjectFactory {
 public:
  struct Call {
    std::string progid;
    std::string member;
    std::vector<Variant> args;
  };
  using Method = std::function<CallResult(const std::vector<Variant>& args)>;

  FakeObjectFactory();

  // Makes progid creatable.
  void AddProgram(const std::string& progid);
  // Creation of progid fails with 429 from now on.
  void FailCreation(const std::string& progid);
  // The answer to member of every object of progid.
  void SetResult(const std::string& progid, const std::string& member, CallResult result);
  void SetMethod(const std::string& progid, const std::string& member, Method method);

  CallResult CreateObject(const std::string& progid,
                          std::unique_ptr<AutomationObject>* object) override;
  // Creates the object within the call, or, while starts are held, records "start held
  // <progid>" and creates it (or fails to) in ReadyHeldStarts. The factory must outlive held
  // starts.
  void StartObject(const std::string& progid, StartedHandler done) override;
  // Starts wait for ReadyHeldStarts from now on, as programs slow to say they are ready.
  void HoldStarts(bool hold);
  // The held starts finish as they would have (the object, or the creation's failure); returns
  // how many.
  int ReadyHeldStarts();

  // The programs of all live objects of progid end: each records "closed <progid>", answers
  // later calls with 462, and runs its OnClosed handler once. Returns how many ended.
  int EndProgram(const std::string& progid);
  // Every live object of progid whose program has not ended runs its OnEvent handler with the
  // event. Returns how many did.
  int RaiseEvent(const std::string& progid, const std::string& name,
                 const std::vector<Variant>& args = {});
  // Posts that fail from now on (as when the object's program does not read): Post answers false
  // and records "post dropped <progid>.<member>(...)".
  void DropPosts(bool drop);

  // In order: "create <progid>" (or "create failed <progid>"), "call <progid>.<member>(a,b)",
  // "post <progid>.<member>(a,b)", "release <progid>".
  const std::vector<std::string>& timeline() const;
  const std::vector<Call>& calls() const;
  const std::vector<Call>& posts() const;  // those sent, not those dropped
  int live_objects() const;

 private:
  std::shared_ptr<FakeAutomationState> state_;
};

// A proxy handed out by FakeObjectFactory; it records into the factory's timeline, which it keeps
// alive, so a proxy may outlive its factory.
class FakeAutomationObject final : public AutomationObject {
 public:
  FakeAutomationObject(std::shared_ptr<FakeAutomationState> state, std::string progid);
  ~FakeAutomationObject() override;
  CallResult Call(const std::string& member, const std::vector<Variant>& args) override;
  bool Post(const std::string& member, const std::vector<Variant>& args) override;
  void OnClosed(std::function<void()> handler) override { on_closed_ = std::move(handler); }
  void OnEvent(EventHandler handler) override { on_event_ = std::move(handler); }
  const std::string& progid() const { return progid_; }

 private:
  friend class FakeObjectFactory;

  std::shared_ptr<FakeAutomationState> state_;
  std::string progid_;
  bool closed_ = false;
  std::function<void()> on_closed_;
  EventHandler on_event_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_AUTOMATION_TESTING_FAKE_AUTOMATION_H_
