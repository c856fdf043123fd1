// The journal's names, errors and provider ids: everything of the layer that is not SQLite.
#include "platform/journal/journal.h"

#include <array>
#include <utility>

namespace mailvane {
namespace {

class JournalErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "journal"; }
  std::string message(int value) const override {
    switch (static_cast<JournalError>(value)) {
      case JournalError::kUnavailable:
        return "the journal cannot be opened";
      case JournalError::kCorrupt:
        return "the journal is damaged";
      case JournalError::kReadOnly:
        return "the journal cannot be written";
      case JournalError::kFull:
        return "the disk is full";
      case JournalError::kBusy:
        return "the journal is locked by another process";
      case JournalError::kVersion:
        return "the journal has an unknown schema";
      case JournalError::kNotWritable:
        return "the journal is open read-only";
      case JournalError::kNotFound:
        return "no such message in the journal";
      case JournalError::kBadRequest:
        return "malformed journal query";
      case JournalError::kFailed:
        return "the journal failed";
    }
    return "unknown journal error";
  }
};

constexpr std::array<std::pair<RecipientState, std::string_view>, 14> kStateNames{{
    {RecipientState::kQueued, "queued"},
    {RecipientState::kSent, "sent"},
    {RecipientState::kDelivered, "delivered"},
    {RecipientState::kUndelivered, "undelivered"},
    {RecipientState::kExpired, "expired"},
    {RecipientState::kRejected, "rejected"},
    {RecipientState::kFailed, "failed"},
    {RecipientState::kGivenUp, "given up"},
    {RecipientState::kCancelled, "cancelled"},
    {RecipientState::kForwarded, "forwarded"},
    {RecipientState::kNotAllowed, "not allowed"},
    {RecipientState::kHeld, "held"},
    {RecipientState::kDuplicate, "duplicate"},
    {RecipientState::kOptedOut, "opted out"},
}};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<uint64_t> ReadNumber(std::string_view id, unsigned base) {
  if (id.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : id) {
    int digit = HexDigit(c);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) return std::nullopt;
    if (value > (UINT64_MAX - static_cast<unsigned>(digit)) / base) return std::nullopt;
    value = value * base + static_cast<unsigned>(digit);
  }
  return value;
}

}  // namespace

const std::error_category& JournalCategory() {
  static const JournalErrorCategory category;
  return category;
}

std::error_code make_error_code(JournalError e) { return {static_cast<int>(e), JournalCategory()}; }

std::string_view RecipientStateName(RecipientState state) {
  for (const auto& [value, name] : kStateNames) {
    if (value == state) return name;
  }
  return "queued";
}

std::optional<RecipientState> ParseRecipientState(std::string_view name) {
  for (const auto& [value, text] : kStateNames) {
    if (text == name) return value;
  }
  return std::nullopt;
}

std::string_view RecipientKindName(RecipientKind kind) {
  switch (kind) {
    case RecipientKind::kSms:
      return "sms";
    case RecipientKind::kForward:
      return "forward";
    case RecipientKind::kNotAllowed:
      return "not allowed";
  }
  return "sms";
}

std::string_view MessageStateText(MessageState state) {
  switch (state) {
    case MessageState::kWaiting:
      return "waiting";
    case MessageState::kEnded:
      return "ended";
    case MessageState::kUnknownEnd:
      return "ended, outcome unknown (handler restarted)";
  }
  return "waiting";
}

std::optional<uint64_t> ProviderIdDecimal(std::string_view id) { return ReadNumber(id, 10); }
std::optional<uint64_t> ProviderIdHex(std::string_view id) { return ReadNumber(id, 16); }

bool SameProviderId(std::string_view a, std::string_view b) {
  if (a == b) return true;
  const std::optional<uint64_t> a_values[] = {ProviderIdDecimal(a), ProviderIdHex(a)};
  const std::optional<uint64_t> b_values[] = {ProviderIdDecimal(b), ProviderIdHex(b)};
  for (const auto& x : a_values) {
    for (const auto& y : b_values) {
      if (x && y && *x == *y) return true;
    }
  }
  return false;
}

void JournalBatch::Append(JournalBatch&& other) {
  entries_.insert(entries_.end(), std::make_move_iterator(other.entries_.begin()),
                  std::make_move_iterator(other.entries_.end()));
  other.entries_.clear();
}

}  // namespace mailvane
