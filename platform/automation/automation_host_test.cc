// The object's side on a real loop, with the test playing the creator on the other end of a
// socket pair.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "platform/automation/automation.h"
#include "platform/automation/automation_json.h"
#include "platform/loop/event_loop.h"

namespace mailvane {
namespace {

constexpr int kMaxSteps = 2000;  // loop turns of 5 ms each before a test gives up

class AutomationHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    creator_ = fds[0];
    ::setenv(kAutomationFdVariable, std::to_string(fds[1]).c_str(), 1);
    host_ = NewAutomationHostFromEnvironment(*loop_);
    ::unsetenv(kAutomationFdVariable);
    ASSERT_TRUE(host_);
    host_->Register("Echo", [](const std::vector<Variant>& args) {
      CallResult result;
      if (!args.empty()) result.value = args[0];
      return result;
    });
    host_->Register("Throw", [](const std::vector<Variant>&) -> CallResult {
      throw std::runtime_error("inside");
    });
    host_->OnDisconnect([this] { ++disconnects_; });
  }
  void TearDown() override {
    if (creator_ >= 0) ::close(creator_);
  }

  // Turns the loop until the creator's end has a line (true) or is closed (false).
  bool ReadLine(std::string* line) {
    for (int step = 0; step < kMaxSteps; ++step) {
      if (lines_.Next(line)) return true;
      loop_->Poll();
      pollfd entry{creator_, POLLIN, 0};
      if (::poll(&entry, 1, 5) == 1) {
        char chunk[4096];
        ssize_t got = ::recv(creator_, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        lines_.Append(std::string_view(chunk, static_cast<size_t>(got)));
      }
    }
    ADD_FAILURE() << "no line and no close";
    return false;
  }

  void Send(const std::string& bytes) {
    ASSERT_EQ(::send(creator_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  CallResult Call(const std::string& member, std::vector<Variant> args) {
    Send(EncodeRequestLine({++id_, member, std::move(args)}));
    std::string line;
    if (!ReadLine(&line)) return CallResult{-1, "closed", "", {}};
    std::optional<AutomationAnswer> answer = DecodeAnswerLine(line);
    EXPECT_TRUE(answer);
    if (!answer) return CallResult{-2, "malformed", "", {}};
    EXPECT_EQ(answer->id, id_);
    return answer->result;
  }

  std::unique_ptr<EventLoop> loop_ = NewEventLoop();
  std::unique_ptr<AutomationHost> host_;
  int creator_ = -1;
  LineBuffer lines_;
  int64_t id_ = 0;
  int disconnects_ = 0;
};

TEST_F(AutomationHostTest, ReadyFirstThenAnswersInOrder) {
  host_->Ready();
  std::string line;
  ASSERT_TRUE(ReadLine(&line));
  EXPECT_TRUE(IsReadyLine(line));
  EXPECT_EQ(Call("Echo", {Variant{std::string("one")}}).value, Variant{std::string("one")});
  EXPECT_EQ(Call("Echo", {Variant{int64_t{2}}}).value, Variant{int64_t{2}});
  EXPECT_EQ(disconnects_, 0);
}

TEST_F(AutomationHostTest, MemberErrors) {
  host_->Ready();
  std::string line;
  ASSERT_TRUE(ReadLine(&line));
  struct Case {
    const char* member;
    int number;
    const char* description;
  } cases[] = {
      {"Unknown", 438, "Object doesn't support this property or method"},
      {"echo", 438, "Object doesn't support this property or method"},  // names are exact
      {"Throw", 440, "Automation error"},
  };
  for (const Case& c : cases) {
    CallResult result = Call(c.member, {});
    EXPECT_EQ(result.error_number, c.number) << c.member;
    EXPECT_EQ(result.description, c.description) << c.member;
  }
  EXPECT_EQ(Call("Echo", {}).error_number, 0);  // the connection survives member errors
}

TEST_F(AutomationHostTest, PostsAreServedUnansweredAndEventsFollowTheReadyLine) {
  EXPECT_FALSE(host_->Raise("early", {}));  // nothing goes before the ready line
  int posted = 0;
  host_->Register("Count", [&](const std::vector<Variant>&) {
    ++posted;
    return CallResult{};
  });
  host_->Ready();
  std::string line;
  ASSERT_TRUE(ReadLine(&line));
  EXPECT_TRUE(IsReadyLine(line));
  Send(EncodePostLine({"Count", {}}) + EncodePostLine({"Throw", {}}) + EncodePostLine({"No", {}}));
  EXPECT_TRUE(host_->Raise("tick", {Variant{int64_t{1}}}));
  ASSERT_TRUE(ReadLine(&line));
  std::optional<AutomationMessage> event = DecodeEventLine(line);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->name, "tick");
  // The next line is the call's answer: the posts got none.
  EXPECT_EQ(Call("Echo", {Variant{int64_t{9}}}).value, Variant{int64_t{9}});
  EXPECT_EQ(posted, 1);
  EXPECT_EQ(disconnects_, 0);
}

TEST_F(AutomationHostTest, MalformedLineEndsTheConnection) {
  host_->Ready();
  std::string line;
  ASSERT_TRUE(ReadLine(&line));
  Send("{\"id\":1,\"call\":\n");
  EXPECT_FALSE(ReadLine(&line));
  EXPECT_EQ(disconnects_, 1);
}

TEST_F(AutomationHostTest, OverlongLineEndsTheConnection) {
  host_->Ready();
  std::string line;
  ASSERT_TRUE(ReadLine(&line));
  std::string request = EncodeRequestLine({1, "Echo", {Variant{std::string(kMaxLineBytes, 'x')}}});
  // Send what the socket takes while the loop reads; the host must close before the end.
  size_t sent = 0;
  bool closed = false;
  for (int step = 0; step < kMaxSteps && !closed && sent < request.size(); ++step) {
    ssize_t n =
        ::send(creator_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent += static_cast<size_t>(n);
    if (n < 0 && errno != EAGAIN) closed = true;
    loop_->Poll();
  }
  EXPECT_FALSE(ReadLine(&line));
  EXPECT_EQ(disconnects_, 1);
}

TEST_F(AutomationHostTest, CreatorClosingRunsTheDisconnectHandlerOnce) {
  host_->Ready();
  ::close(creator_);
  creator_ = -1;
  for (int step = 0; step < kMaxSteps && disconnects_ == 0; ++step) {
    loop_->Poll();
    ::usleep(1000);
  }
  EXPECT_EQ(disconnects_, 1);
  loop_->Poll();
  EXPECT_EQ(disconnects_, 1);
}

TEST(AutomationHostEnvironment, NoHostWithoutAUsableDescriptor) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::unique_ptr<EventLoop> loop = NewEventLoop();
  ::unsetenv(kAutomationFdVariable);
  EXPECT_FALSE(NewAutomationHostFromEnvironment(*loop));
  for (std::string value : {std::string(""), std::string("abc"), std::string("3x"),
                            std::string("-1"), std::to_string(pipe_fds[0]), std::string("999")}) {
    ::setenv(kAutomationFdVariable, value.c_str(), 1);
    EXPECT_FALSE(NewAutomationHostFromEnvironment(*loop)) << value;
  }
  ::unsetenv(kAutomationFdVariable);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

}  // namespace
}  // namespace mailvane
