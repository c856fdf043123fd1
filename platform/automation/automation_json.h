// The line protocol between a creating program and its object's program: one JSON object per
// line, each way.
//   object -> creator, once, when the object exists:  {"ready":true}
//   creator -> object:  {"id":n,"call":"Member","args":[...]}
//   object -> creator:  {"id":n,"value":...}
//                   or  {"id":n,"error":{"number":N,"description":"...","source":"..."}}
// One-way messages, never answered:
//   creator -> object:  {"post":"Member","args":[...]}
//   object -> creator:  {"event":"Name","args":[...]}
// Values are null, true/false, whole numbers (int64), other numbers (double) and strings; a
// double that is not finite travels as null, and one with an extreme exponent may come back a unit
// off in its last place (the Boost 1.81 parser). A line longer than kMaxLineBytes, or one that does
// not parse as the message expected, is a protocol error: the side that reads it closes the
// connection. Decoders never throw.
#ifndef MAILVANE_PLATFORM_AUTOMATION_AUTOMATION_JSON_H_
#define MAILVANE_PLATFORM_AUTOMATION_AUTOMATION_JSON_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/automation.h"

namespace mailvane {

inline constexpr size_t kMaxLineBytes = 1 << 20;  // without the "\n"

inline constexpr int kErrCantCreate = 429;
inline constexpr char kCantCreateText[] = "ActiveX component can't create object";
inline constexpr int kErrNoMember = 438;
inline constexpr char kNoMemberText[] = "Object doesn't support this property or method";
inline constexpr int kErrAutomationError = 440;
inline constexpr char kAutomationErrorText[] = "Automation error";
inline constexpr int kErrUnavailable = 462;
inline constexpr char kUnavailableText[] =
    "The remote server machine does not exist or is unavailable";

struct AutomationRequest {
  int64_t id = 0;
  std::string member;
  std::vector<Variant> args;
};

// A one-way message: a post to the object or an event to its creator.
struct AutomationMessage {
  std::string name;
  std::vector<Variant> args;
};

struct AutomationAnswer {
  int64_t id = 0;
  CallResult result;  // value, or error number, description and source
};

// Each encoder's line ends in "\n".
std::string EncodeReadyLine();
std::string EncodeRequestLine(const AutomationRequest& request);
std::string EncodeAnswerLine(int64_t id, const CallResult& result);
std::string EncodePostLine(const AutomationMessage& post);
std::string EncodeEventLine(const AutomationMessage& event);

// The decoders take a line without its "\n".
bool IsReadyLine(std::string_view line);
std::optional<AutomationRequest> DecodeRequestLine(std::string_view line);
std::optional<AutomationAnswer> DecodeAnswerLine(std::string_view line);
std::optional<AutomationMessage> DecodePostLine(std::string_view line);
std::optional<AutomationMessage> DecodeEventLine(std::string_view line);

// Splits received bytes into lines, bounded by kMaxLineBytes (a test may pass a smaller bound).
class LineBuffer {
 public:
  explicit LineBuffer(size_t max_line_bytes = kMaxLineBytes) : max_(max_line_bytes) {}
  void Append(std::string_view bytes) { buffer_.append(bytes); }
  // The next complete line, without its "\n"; false when none is complete yet.
  bool Next(std::string* line);
  // True when the bytes seen so far hold a line longer than the bound.
  bool Overflowed() const;

 private:
  size_t max_;
  std::string buffer_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_AUTOMATION_AUTOMATION_JSON_H_
