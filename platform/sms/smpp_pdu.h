// SMPP 3.4 protocol data units: the commands an ESME in transceiver mode sends and receives, a
// framer that cuts a byte stream from the SMSC into PDUs, and the names of command statuses.
// Decoding never reads past the bytes given and bounds every field; it keeps only the fields
// Mailvane uses (others are skipped). Pure functions, any thread.
#ifndef MAILVANE_PLATFORM_SMS_SMPP_PDU_H_
#define MAILVANE_PLATFORM_SMS_SMPP_PDU_H_

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace mailvane::smpp {

inline constexpr uint32_t kGenericNack = 0x80000000;
inline constexpr uint32_t kBindTransceiver = 0x00000009;
inline constexpr uint32_t kBindTransceiverResp = 0x80000009;
inline constexpr uint32_t kSubmitSm = 0x00000004;
inline constexpr uint32_t kSubmitSmResp = 0x80000004;
inline constexpr uint32_t kDeliverSm = 0x00000005;
inline constexpr uint32_t kDeliverSmResp = 0x80000005;
inline constexpr uint32_t kUnbind = 0x00000006;
inline constexpr uint32_t kUnbindResp = 0x80000006;
inline constexpr uint32_t kEnquireLink = 0x00000015;
inline constexpr uint32_t kEnquireLinkResp = 0x80000015;
inline constexpr uint32_t kResponseBit = 0x80000000;

inline constexpr uint32_t kStatusOk = 0x00;
inline constexpr uint32_t kStatusInvalidMessageLength = 0x01;  // ESME_RINVMSGLEN
inline constexpr uint32_t kStatusInvalidCommandLength = 0x02;  // ESME_RINVCMDLEN
inline constexpr uint32_t kStatusInvalidCommandId = 0x03;      // ESME_RINVCMDID
inline constexpr uint32_t kStatusMessageQueueFull = 0x14;      // ESME_RMSGQFUL
inline constexpr uint32_t kStatusThrottled = 0x58;             // ESME_RTHROTTLED

inline constexpr uint8_t kEsmClassUdhi = 0x40;
inline constexpr uint8_t kEsmClassReceipt = 0x04;  // deliver_sm carrying a delivery receipt
inline constexpr uint8_t kDataCodingDefault = 0x00;
inline constexpr uint8_t kDataCodingUcs2 = 0x08;

inline constexpr uint32_t kHeaderLength = 16;
// The largest PDU accepted from the SMSC; a longer command_length cannot be resynchronised.
inline constexpr uint32_t kMaxPduLength = 16384;
inline constexpr std::size_t kMaxShortMessage = 254;
// PDUs waiting to be written to the SMSC: at most a window of submits and the answers owed to
// its enquire_link and deliver_sm. More means that the SMSC has stopped reading.
inline constexpr std::size_t kMaxOutgoingPdus = 1024;

// One PDU. Which fields count depends on command_id; the others stay at their defaults.
struct Pdu {
  uint32_t command_id = 0;
  uint32_t command_status = 0;
  uint32_t sequence = 0;

  // bind_transceiver (system_id also in its response)
  std::string system_id;
  std::string password;
  std::string system_type;

  // submit_sm and deliver_sm
  std::string service_type;
  uint8_t source_ton = 0;
  uint8_t source_npi = 0;
  std::string source_addr;
  uint8_t dest_ton = 0;
  uint8_t dest_npi = 0;
  std::string destination_addr;
  uint8_t esm_class = 0;
  uint8_t registered_delivery = 0;
  uint8_t data_coding = 0;
  std::string short_message;  // octets; a deliver_sm's message_payload lands here too

  // submit_sm_resp; for a deliver_sm, its receipted_message_id
  std::string message_id;
  std::optional<uint8_t> message_state;  // deliver_sm's message_state

  bool operator==(const Pdu&) const = default;
};

// The PDU as bytes with its header. Only the commands listed above have bodies; a response with
// a non-zero status (other than submit_sm_resp) is sent without one. Fields longer than SMPP
// allows are cut to its limits.
std::string Encode(const Pdu& pdu);

// The PDU of exactly these bytes (header included), or nothing with *error saying what is
// wrong. A command this codec does not know decodes to its header alone. Responses are read as
// SMSCs send them: what follows the first field (optional parameters) is skipped, and that
// field's final NUL may be missing.
std::optional<Pdu> Decode(std::string_view bytes, std::string* error);

// Cuts the SMSC's byte stream into whole PDUs. Bounded: a command_length below the header or
// above kMaxPduLength is an error after which the stream cannot be trusted.
class Framer {
 public:
  void Append(std::string_view bytes) { buffer_.append(bytes); }
  enum class Next { kNeedMore, kPdu, kBadLength };
  // kPdu: *pdu holds the next PDU's bytes. kBadLength: *bad_length holds the length read.
  Next Take(std::string* pdu, uint32_t* bad_length);

 private:
  std::string buffer_;
  std::size_t start_ = 0;
};

// The PDUs not yet written, in order. Push refuses a PDU past kMaxOutgoingPdus.
class Outbox {
 public:
  bool Push(std::string pdu);
  bool empty() const { return pdus_.empty(); }
  std::size_t size() const { return pdus_.size(); }
  const std::string& front() const { return pdus_.front(); }
  void pop_front() { pdus_.pop_front(); }

 private:
  std::deque<std::string> pdus_;
};

// "ESME_RTHROTTLED" for 0x58; "status" for statuses SMPP 3.4 does not name.
const char* StatusName(uint32_t status);
// "submit_sm" for 0x04; "command" for others.
const char* CommandName(uint32_t command_id);
// "SMPP submit_sm: ESME_RTHROTTLED (0x00000058)".
std::string StatusText(uint32_t command_id, uint32_t status);
// What the answer to a request of request_id says: its StatusText for the request's own response
// or a generic_nack; for another command's response "SMPP submit_sm: answered by
// enquire_link_resp, ESME_ROK (0x00000000)".
std::string AnswerText(uint32_t request_id, const Pdu& answer);
// A submit_sm status that no retry changes: the SMS itself (its addresses, length, coding,
// esm_class, parameters) is refused.
bool IsPermanentStatus(uint32_t status);

}  // namespace mailvane::smpp

#endif  // MAILVANE_PLATFORM_SMS_SMPP_PDU_H_
