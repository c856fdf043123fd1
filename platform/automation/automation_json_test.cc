#include "platform/automation/automation_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace mailvane {
namespace {

std::string WithoutNewline(std::string line) {
  EXPECT_EQ(line.back(), '\n');
  line.pop_back();
  return line;
}

TEST(AutomationJson, EveryValueKindSurvivesARequestAndAnAnswer) {
  const std::vector<Variant> values = {Variant{},
                                       Variant{true},
                                       Variant{false},
                                       Variant{int64_t{0}},
                                       Variant{int64_t{-1}},
                                       Variant{std::numeric_limits<int64_t>::max()},
                                       Variant{std::numeric_limits<int64_t>::min()},
                                       Variant{1.0},
                                       Variant{-1234.5},
                                       Variant{1e10},
                                       Variant{std::string()},
                                       Variant{std::string("line\nbreak \"quoted\" \xc3\xa9")}};
  std::optional<AutomationRequest> request =
      DecodeRequestLine(WithoutNewline(EncodeRequestLine({7, "Echo", values})));
  ASSERT_TRUE(request);
  EXPECT_EQ(request->id, 7);
  EXPECT_EQ(request->member, "Echo");
  EXPECT_EQ(request->args, values);
  for (const Variant& value : values) {
    CallResult result;
    result.value = value;
    std::optional<AutomationAnswer> answer =
        DecodeAnswerLine(WithoutNewline(EncodeAnswerLine(9, result)));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->id, 9);
    EXPECT_EQ(answer->result.error_number, 0);
    EXPECT_EQ(answer->result.value, value) << value.index();
  }
}

TEST(AutomationJson, ErrorsKeepNumberDescriptionAndSource) {
  std::optional<AutomationAnswer> answer = DecodeAnswerLine(
      WithoutNewline(EncodeAnswerLine(3, CallResult{53, "File not found", "Vanequeue", {}})));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->result.error_number, 53);
  EXPECT_EQ(answer->result.description, "File not found");
  EXPECT_EQ(answer->result.source, "Vanequeue");
}

TEST(AutomationJson, ExtremeDoublesKeepTheirValueClosely) {
  // The parser of Boost 1.81 may miss the last bit of a double with an extreme exponent.
  for (double d : {-2.5e-300, 1.7976931348623157e308, 4.9e-324 * 1e10, 0.1 + 0.2}) {
    CallResult result;
    result.value = d;
    std::optional<AutomationAnswer> answer =
        DecodeAnswerLine(WithoutNewline(EncodeAnswerLine(1, result)));
    ASSERT_TRUE(answer);
    ASSERT_TRUE(std::holds_alternative<double>(answer->result.value));
    EXPECT_NEAR(std::get<double>(answer->result.value), d, std::abs(d) * 1e-15) << d;
  }
}

TEST(AutomationJson, NonFiniteNumbersTravelAsNull) {
  CallResult result;
  result.value = std::numeric_limits<double>::infinity();
  std::optional<AutomationAnswer> answer =
      DecodeAnswerLine(WithoutNewline(EncodeAnswerLine(1, result)));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->result.value, Variant{});
}

TEST(AutomationJson, ReadyLine) {
  EXPECT_EQ(EncodeReadyLine(), "{\"ready\":true}\n");
  EXPECT_TRUE(IsReadyLine("{\"ready\":true}"));
  for (const char* line : {"{\"ready\":false}", "{\"ready\":1}", "{}", "[true]", "ready", ""}) {
    EXPECT_FALSE(IsReadyLine(line)) << line;
  }
}

TEST(AutomationJson, MalformedRequestsAreRejected) {
  for (const char* line : {
           "", "not json", "[1,2]",
           "{\"call\":\"Echo\",\"args\":[]}",                   // no id
           "{\"id\":\"1\",\"call\":\"Echo\"}",                  // id not a number
           "{\"id\":1.5,\"call\":\"Echo\"}",                    // id not whole
           "{\"id\":1,\"call\":7}",                             // member not text
           "{\"id\":1,\"call\":\"Echo\",\"args\":{}}",          // args not a list
           "{\"id\":1,\"call\":\"Echo\",\"args\":[[1]]}",       // a list is no value
           "{\"id\":1,\"call\":\"Echo\",\"args\":[{}]}",        // nor an object
           "{\"id\":1,\"call\":\"Echo\",\"args\":[\"\xff\"]}",  // not UTF-8
           "{\"id\":1,\"call\":\"Echo\"",                       // cut short
       }) {
    EXPECT_FALSE(DecodeRequestLine(line)) << line;
  }
  EXPECT_TRUE(DecodeRequestLine("{\"id\":1,\"call\":\"StopProcess\"}"));  // args may be left out
}

TEST(AutomationJson, MalformedAnswersAreRejected) {
  for (const char* line : {
           "{\"value\":1}",                                    // no id
           "{\"id\":1}",                                       // neither value nor error
           "{\"id\":1,\"value\":1,\"error\":{\"number\":5}}",  // both
           "{\"id\":1,\"value\":[1]}",                         // a list is no value
           "{\"id\":1,\"error\":\"bad\"}",                     // error not an object
           "{\"id\":1,\"error\":{\"description\":\"x\"}}",     // no number
           "{\"id\":1,\"error\":{\"number\":0}}",              // 0 is no error
           "{\"id\":1,\"error\":{\"number\":99999999999}}",    // beyond an int
       }) {
    EXPECT_FALSE(DecodeAnswerLine(line)) << line;
  }
}

TEST(AutomationJson, LineBufferSplitsLinesAndHoldsItsBound) {
  LineBuffer lines(8);
  lines.Append("ab\ncd");
  std::string line;
  ASSERT_TRUE(lines.Next(&line));
  EXPECT_EQ(line, "ab");
  EXPECT_FALSE(lines.Next(&line));
  lines.Append("efghij\n");  // "cdefghij": exactly the bound
  ASSERT_TRUE(lines.Next(&line));
  EXPECT_EQ(line, "cdefghij");
  EXPECT_FALSE(lines.Overflowed());
  lines.Append("123456789");  // one more than the bound, still without its end
  EXPECT_TRUE(lines.Overflowed());
  EXPECT_FALSE(lines.Next(&line));
}

TEST(AutomationJson, OneWayMessagesKeepTheirKindAndArguments) {
  const AutomationMessage message{"Wake", {Variant{int64_t{3}}, Variant{std::string("x")}}};
  std::string post = EncodePostLine(message);
  std::string event = EncodeEventLine(message);
  post.pop_back();
  event.pop_back();
  ASSERT_TRUE(DecodePostLine(post));
  EXPECT_EQ(DecodePostLine(post)->args, message.args);
  EXPECT_EQ(DecodeEventLine(event)->name, "Wake");
  // Each kind is only itself: a post is no event, request or answer, and so on.
  EXPECT_FALSE(DecodeEventLine(post));
  EXPECT_FALSE(DecodePostLine(event));
  EXPECT_FALSE(DecodeRequestLine(post));
  EXPECT_FALSE(DecodeAnswerLine(event));
  for (const char* line : {"{\"post\":1}", "{\"post\":\"A\",\"args\":{}}",
                           "{\"post\":\"A\",\"id\":1}", "{\"event\":\"A\",\"args\":[[1]]}"}) {
    EXPECT_FALSE(DecodePostLine(line) || DecodeEventLine(line)) << line;
  }
  EXPECT_FALSE(DecodePostLine(EncodeRequestLine({1, "Wake", {}})));
}

}  // namespace
}  // namespace mailvane
