// Drives SmtpSession with arbitrary client bytes, cut into chunks whose sizes come from the input
// itself, answering every message at once. Checks what must hold whatever the client sends:
// output bounded and well formed, accepted text within its size and free of bare line ends,
// nothing said after the session closed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/smtp/smtp_session.h"

namespace {

constexpr size_t kLongestReply = 512;  // the longest single reply the session composes

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckReplies(const std::string& output) {
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find("\r\n", start);
    Check(end != std::string::npos);
    std::string_view line(output.data() + start, end - start);
    Check(line.size() >= 4);
    Check(line[0] >= '2' && line[0] <= '5' && line[1] >= '0' && line[1] <= '9' && line[2] >= '0' &&
          line[2] <= '9');
    Check(line[3] == ' ' || line[3] == '-');
    Check(line.find('\r') == std::string_view::npos && line.find('\n') == std::string_view::npos);
    start = end + 2;
  }
}

void CheckMessage(const mailvane::SmtpMessage& message, const mailvane::SmtpLimits& limits) {
  Check(message.text.size() <= limits.max_message_size);
  Check(message.byte_count == message.text.size());
  Check(!message.recipients.empty() && message.recipients.size() <= limits.max_recipients);
  // Every line end is stored as CR LF, whatever the client used.
  for (size_t i = 0; i < message.text.size(); ++i) {
    char c = message.text[i];
    if (c == '\r') Check(i + 1 < message.text.size() && message.text[i + 1] == '\n');
    if (c == '\n') Check(i > 0 && message.text[i - 1] == '\r');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  mailvane::SmtpSessionOptions options;
  options.host_name = "fuzz.test";
  options.greeting_text = "Hi";
  options.closing_text = "Bye";
  options.limits.max_line_length = 32;
  options.limits.max_message_size = 256;
  options.limits.max_recipients = 4;
  options.limits.max_errors = 5;
  options.limits.max_pending_output = 2048;
  const mailvane::SmtpLimits& limits = options.limits;
  mailvane::SmtpSession session(options);
  session.Greet();
  CheckReplies(session.TakeOutput());

  uint8_t chunking = data[0];
  uint8_t answers = data[1];
  std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
  unsigned round = 0;
  while (!input.empty()) {
    size_t chunk = 1 + (chunking * (round + 1) + round) % 61;
    if (chunking == 0) chunk = input.size();
    chunk = std::min(chunk, input.size());
    bool was_closed = session.closed();
    session.Feed(input.substr(0, chunk));
    input.remove_prefix(chunk);
    // Output is read only every other round, as a slow client would.
    Check(session.pending_output() <= limits.max_pending_output + kLongestReply);
    while (session.message_ready()) {
      mailvane::SmtpMessage message = session.TakeMessage();
      CheckMessage(message, limits);
      int codes[] = {250, 451, 554, 0};
      session.Answer(mailvane::SmtpReply{codes[(answers >> (round % 4 * 2)) & 3], "x"});
      Check(session.pending_output() <= limits.max_pending_output + 2 * kLongestReply);
    }
    Check(session.errors() <= limits.max_errors + 1);
    if (round % 2 == 1 || session.closed()) {
      std::string output = session.TakeOutput();
      if (was_closed) Check(output.empty());
      CheckReplies(output);
    }
    ++round;
  }
  session.OnTimeout();
  CheckReplies(session.TakeOutput());
  return 0;
}
