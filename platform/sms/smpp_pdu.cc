#include "platform/sms/smpp_pdu.h"

#include <cstdio>
#include <utility>

namespace mailvane::smpp {
namespace {

// Field sizes of SMPP 3.4, terminating NUL included.
constexpr std::size_t kSystemIdSize = 16;
constexpr std::size_t kPasswordSize = 9;
constexpr std::size_t kSystemTypeSize = 13;
constexpr std::size_t kAddressRangeSize = 41;
constexpr std::size_t kServiceTypeSize = 6;
constexpr std::size_t kAddressSize = 21;
constexpr std::size_t kTimeSize = 17;
constexpr std::size_t kMessageIdSize = 65;

constexpr uint8_t kInterfaceVersion = 0x34;
constexpr uint16_t kTagReceiptedMessageId = 0x001E;
constexpr uint16_t kTagMessageState = 0x0427;
constexpr uint16_t kTagMessagePayload = 0x0424;

class Writer {
 public:
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U32(uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) U8(static_cast<uint8_t>(v >> shift));
  }
  void CString(const std::string& text, std::size_t size) {
    std::string_view v(text);
    v = v.substr(0, v.find('\0'));
    out_.append(v.substr(0, size - 1));
    U8(0);
  }
  void Octets(std::string_view v) { out_.append(v); }
  std::string Finish() {
    std::string length;
    for (int shift = 24; shift >= 0; shift -= 8) {
      length.push_back(static_cast<char>(static_cast<uint8_t>(out_.size() >> shift)));
    }
    out_.replace(0, 4, length);
    return std::move(out_);
  }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool AtEnd() const { return pos_ == bytes_.size(); }
  bool U8(uint8_t* v) {
    if (pos_ >= bytes_.size()) return false;
    *v = static_cast<uint8_t>(bytes_[pos_++]);
    return true;
  }
  bool U16(uint16_t* v) {
    uint8_t a = 0, b = 0;
    if (!U8(&a) || !U8(&b)) return false;
    *v = static_cast<uint16_t>(a << 8 | b);
    return true;
  }
  bool U32(uint32_t* v) {
    uint16_t a = 0, b = 0;
    if (!U16(&a) || !U16(&b)) return false;
    *v = static_cast<uint32_t>(a) << 16 | b;
    return true;
  }
  // A C-octet string of at most size octets, its NUL included.
  bool CString(std::string* out, std::size_t size) {
    std::string_view rest = bytes_.substr(pos_, size);
    std::size_t nul = rest.find('\0');
    if (nul == std::string_view::npos) return false;
    out->assign(rest.substr(0, nul));
    pos_ += nul + 1;
    return true;
  }
  // A response's C-octet string read as SMSCs send it: the NUL may be missing when the string
  // ends the body, and whatever follows it (optional parameters) is left unread.
  bool LenientCString(std::string* out, std::size_t size) {
    if (CString(out, size)) return true;
    std::string_view rest = bytes_.substr(pos_);
    if (rest.size() >= size) return false;
    out->assign(rest);
    pos_ = bytes_.size();
    return true;
  }
  bool Octets(std::string* out, std::size_t count) {
    if (bytes_.size() - pos_ < count) return false;
    out->assign(bytes_.substr(pos_, count));
    pos_ += count;
    return true;
  }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

void EncodeMessageBody(const Pdu& pdu, Writer& w) {
  w.CString(pdu.service_type, kServiceTypeSize);
  w.U8(pdu.source_ton);
  w.U8(pdu.source_npi);
  w.CString(pdu.source_addr, kAddressSize);
  w.U8(pdu.dest_ton);
  w.U8(pdu.dest_npi);
  w.CString(pdu.destination_addr, kAddressSize);
  w.U8(pdu.esm_class);
  w.U8(0);  // protocol_id
  w.U8(0);  // priority_flag
  w.U8(0);  // schedule_delivery_time: immediate
  w.U8(0);  // validity_period: the SMSC's default
  w.U8(pdu.registered_delivery);
  w.U8(0);  // replace_if_present_flag
  w.U8(pdu.data_coding);
  w.U8(0);  // sm_default_msg_id
  std::string_view message = std::string_view(pdu.short_message).substr(0, kMaxShortMessage);
  w.U8(static_cast<uint8_t>(message.size()));
  w.Octets(message);
}

bool DecodeMessageBody(Reader& r, Pdu* pdu, std::string* error) {
  uint8_t skip = 0;
  std::string ignored;
  uint8_t sm_length = 0;
  if (!r.CString(&pdu->service_type, kServiceTypeSize) || !r.U8(&pdu->source_ton) ||
      !r.U8(&pdu->source_npi) || !r.CString(&pdu->source_addr, kAddressSize) ||
      !r.U8(&pdu->dest_ton) || !r.U8(&pdu->dest_npi) ||
      !r.CString(&pdu->destination_addr, kAddressSize) || !r.U8(&pdu->esm_class) || !r.U8(&skip) ||
      !r.U8(&skip) || !r.CString(&ignored, kTimeSize) || !r.CString(&ignored, kTimeSize) ||
      !r.U8(&pdu->registered_delivery) || !r.U8(&skip) || !r.U8(&pdu->data_coding) ||
      !r.U8(&skip) || !r.U8(&sm_length) || !r.Octets(&pdu->short_message, sm_length)) {
    *error = "truncated or overlong field in the message body";
    return false;
  }
  while (!r.AtEnd()) {
    uint16_t tag = 0, length = 0;
    std::string value;
    if (!r.U16(&tag) || !r.U16(&length) || !r.Octets(&value, length)) {
      *error = "truncated optional parameter";
      return false;
    }
    if (tag == kTagReceiptedMessageId) {
      pdu->message_id = value.substr(0, value.find('\0'));
      if (pdu->message_id.size() >= kMessageIdSize) {
        *error = "receipted_message_id too long";
        return false;
      }
    } else if (tag == kTagMessageState && length == 1) {
      pdu->message_state = static_cast<uint8_t>(value[0]);
    } else if (tag == kTagMessagePayload && pdu->short_message.empty()) {
      pdu->short_message = std::move(value);
    }
  }
  return true;
}

}  // namespace

std::string Encode(const Pdu& pdu) {
  Writer w;
  w.U32(0);  // command_length, set by Finish
  w.U32(pdu.command_id);
  w.U32(pdu.command_status);
  w.U32(pdu.sequence);
  const bool response = (pdu.command_id & kResponseBit) != 0;
  if (response && pdu.command_status != kStatusOk && pdu.command_id != kSubmitSmResp) {
    return w.Finish();
  }
  switch (pdu.command_id) {
    case kBindTransceiver:
      w.CString(pdu.system_id, kSystemIdSize);
      w.CString(pdu.password, kPasswordSize);
      w.CString(pdu.system_type, kSystemTypeSize);
      w.U8(kInterfaceVersion);
      w.U8(0);  // addr_ton
      w.U8(0);  // addr_npi
      w.U8(0);  // address_range: empty
      break;
    case kBindTransceiverResp:
      w.CString(pdu.system_id, kSystemIdSize);
      break;
    case kSubmitSm:
    case kDeliverSm:
      EncodeMessageBody(pdu, w);
      break;
    case kSubmitSmResp:
    case kDeliverSmResp:
      w.CString(pdu.message_id, kMessageIdSize);
      break;
    default:
      break;
  }
  return w.Finish();
}

std::optional<Pdu> Decode(std::string_view bytes, std::string* error) {
  Reader r(bytes);
  Pdu pdu;
  uint32_t length = 0;
  if (!r.U32(&length) || !r.U32(&pdu.command_id) || !r.U32(&pdu.command_status) ||
      !r.U32(&pdu.sequence)) {
    *error = "shorter than a PDU header";
    return std::nullopt;
  }
  if (length != bytes.size()) {
    *error = "command_length " + std::to_string(length) + " for " + std::to_string(bytes.size()) +
             " octets";
    return std::nullopt;
  }
  // A response may come without a body (as every failed one may).
  if ((pdu.command_id & kResponseBit) != 0 && r.AtEnd()) return pdu;
  std::string ignored;
  uint8_t skip = 0;
  bool ok = true;
  switch (pdu.command_id) {
    case kBindTransceiver:
      ok = r.CString(&pdu.system_id, kSystemIdSize) && r.CString(&pdu.password, kPasswordSize) &&
           r.CString(&pdu.system_type, kSystemTypeSize) && r.U8(&skip) && r.U8(&skip) &&
           r.U8(&skip) && r.CString(&ignored, kAddressRangeSize);
      break;
    case kBindTransceiverResp:
      if (r.LenientCString(&pdu.system_id, kSystemIdSize)) return pdu;
      ok = false;
      break;
    case kSubmitSm:
    case kDeliverSm:
      if (!DecodeMessageBody(r, &pdu, error)) return std::nullopt;
      return pdu;
    case kSubmitSmResp:
    case kDeliverSmResp:
      if (r.LenientCString(&pdu.message_id, kMessageIdSize)) return pdu;
      ok = false;
      break;
    default:
      return pdu;  // a body this codec does not read
  }
  if (!ok || !r.AtEnd()) {
    *error = std::string("malformed ") + CommandName(pdu.command_id) + " body";
    return std::nullopt;
  }
  return pdu;
}

Framer::Next Framer::Take(std::string* pdu, uint32_t* bad_length) {
  const std::size_t available = buffer_.size() - start_;
  if (available < 4) {
    if (start_ > 0) {
      buffer_.erase(0, start_);
      start_ = 0;
    }
    return Next::kNeedMore;
  }
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    length = length << 8 | static_cast<uint8_t>(buffer_[start_ + static_cast<std::size_t>(i)]);
  }
  if (length < kHeaderLength || length > kMaxPduLength) {
    *bad_length = length;
    return Next::kBadLength;
  }
  if (available < length) {
    buffer_.erase(0, start_);
    start_ = 0;
    return Next::kNeedMore;
  }
  pdu->assign(buffer_, start_, length);
  start_ += length;
  return Next::kPdu;
}

const char* StatusName(uint32_t status) {
  // One line per case: the switch reads as the table it is.
  // clang-format off
  switch (status) {
    case 0x00: return "ESME_ROK";
    case 0x01: return "ESME_RINVMSGLEN";
    case 0x02: return "ESME_RINVCMDLEN";
    case 0x03: return "ESME_RINVCMDID";
    case 0x04: return "ESME_RINVBNDSTS";
    case 0x05: return "ESME_RALYBND";
    case 0x06: return "ESME_RINVPRTFLG";
    case 0x07: return "ESME_RINVREGDLVFLG";
    case 0x08: return "ESME_RSYSERR";
    case 0x0A: return "ESME_RINVSRCADR";
    case 0x0B: return "ESME_RINVDSTADR";
    case 0x0C: return "ESME_RINVMSGID";
    case 0x0D: return "ESME_RBINDFAIL";
    case 0x0E: return "ESME_RINVPASWD";
    case 0x0F: return "ESME_RINVSYSID";
    case 0x11: return "ESME_RCANCELFAIL";
    case 0x13: return "ESME_RREPLACEFAIL";
    case 0x14: return "ESME_RMSGQFUL";
    case 0x15: return "ESME_RINVSERTYP";
    case 0x33: return "ESME_RINVNUMDESTS";
    case 0x34: return "ESME_RINVDLNAME";
    case 0x40: return "ESME_RINVDESTFLAG";
    case 0x42: return "ESME_RINVSUBREP";
    case 0x43: return "ESME_RINVESMCLASS";
    case 0x44: return "ESME_RCNTSUBDL";
    case 0x45: return "ESME_RSUBMITFAIL";
    case 0x48: return "ESME_RINVSRCTON";
    case 0x49: return "ESME_RINVSRCNPI";
    case 0x50: return "ESME_RINVDSTTON";
    case 0x51: return "ESME_RINVDSTNPI";
    case 0x53: return "ESME_RINVSYSTYP";
    case 0x54: return "ESME_RINVREPFLAG";
    case 0x55: return "ESME_RINVNUMMSGS";
    case 0x58: return "ESME_RTHROTTLED";
    case 0x61: return "ESME_RINVSCHED";
    case 0x62: return "ESME_RINVEXPIRY";
    case 0x63: return "ESME_RINVDFTMSGID";
    case 0x64: return "ESME_RX_T_APPN";
    case 0x65: return "ESME_RX_P_APPN";
    case 0x66: return "ESME_RX_R_APPN";
    case 0x67: return "ESME_RQUERYFAIL";
    case 0xC0: return "ESME_RINVOPTPARSTREAM";
    case 0xC1: return "ESME_ROPTPARNOTALLWD";
    case 0xC2: return "ESME_RINVPARLEN";
    case 0xC3: return "ESME_RMISSINGOPTPARAM";
    case 0xC4: return "ESME_RINVOPTPARAMVAL";
    case 0xFE: return "ESME_RDELIVERYFAILURE";
    case 0x104: return "ESME_RINVDCS";
    case 0xFF: return "ESME_RUNKNOWNERR";
    default: return "status";
  }
  // clang-format on
}

const char* CommandName(uint32_t command_id) {
  // One line per case: the switch reads as the table it is.
  // clang-format off
  switch (command_id) {
    case kGenericNack: return "generic_nack";
    case kBindTransceiver: return "bind_transceiver";
    case kBindTransceiverResp: return "bind_transceiver_resp";
    case kSubmitSm: return "submit_sm";
    case kSubmitSmResp: return "submit_sm_resp";
    case kDeliverSm: return "deliver_sm";
    case kDeliverSmResp: return "deliver_sm_resp";
    case kUnbind: return "unbind";
    case kUnbindResp: return "unbind_resp";
    case kEnquireLink: return "enquire_link";
    case kEnquireLinkResp: return "enquire_link_resp";
    default: return "command";
  }
  // clang-format on
}

bool IsPermanentStatus(uint32_t status) {
  // One line per case: the switch reads as the table it is.
  // clang-format off
  switch (status) {
    case 0x01:   // ESME_RINVMSGLEN
    case 0x06:   // ESME_RINVPRTFLG
    case 0x07:   // ESME_RINVREGDLVFLG
    case 0x0A:   // ESME_RINVSRCADR
    case 0x0B:   // ESME_RINVDSTADR
    case 0x15:   // ESME_RINVSERTYP
    case 0x33:   // ESME_RINVNUMDESTS
    case 0x34:   // ESME_RINVDLNAME
    case 0x40:   // ESME_RINVDESTFLAG
    case 0x43:   // ESME_RINVESMCLASS
    case 0x48:   // ESME_RINVSRCTON
    case 0x49:   // ESME_RINVSRCNPI
    case 0x50:   // ESME_RINVDSTTON
    case 0x51:   // ESME_RINVDSTNPI
    case 0x54:   // ESME_RINVREPFLAG
    case 0x61:   // ESME_RINVSCHED
    case 0x62:   // ESME_RINVEXPIRY
    case 0x63:   // ESME_RINVDFTMSGID
    case 0x65:   // ESME_RX_P_APPN
    case 0x66:   // ESME_RX_R_APPN
    case 0xC0:   // ESME_RINVOPTPARSTREAM
    case 0xC1:   // ESME_ROPTPARNOTALLWD
    case 0xC2:   // ESME_RINVPARLEN
    case 0xC3:   // ESME_RMISSINGOPTPARAM
    case 0xC4:   // ESME_RINVOPTPARAMVAL
    case 0x104:  // ESME_RINVDCS
      return true;
    default:
      return false;
  }
  // clang-format on
}

std::string AnswerText(uint32_t request_id, const Pdu& answer) {
  if (answer.command_id == (request_id | kResponseBit) || answer.command_id == kGenericNack) {
    return StatusText(answer.command_id == kGenericNack ? kGenericNack : request_id,
                      answer.command_status);
  }
  std::string by = CommandName(answer.command_id);
  char hex[32];
  if (by == "command") {
    std::snprintf(hex, sizeof hex, "command 0x%08X", answer.command_id);
    by = hex;
  }
  std::snprintf(hex, sizeof hex, "0x%08X", answer.command_status);
  return std::string("SMPP ") + CommandName(request_id) + ": answered by " + by + ", " +
         StatusName(answer.command_status) + " (" + hex + ")";
}

bool Outbox::Push(std::string pdu) {
  if (pdus_.size() >= kMaxOutgoingPdus) return false;
  pdus_.push_back(std::move(pdu));
  return true;
}

std::string StatusText(uint32_t command_id, uint32_t status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", status);
  return std::string("SMPP ") + CommandName(command_id) + ": " + StatusName(status) + " (" + hex +
         ")";
}

}  // namespace mailvane::smpp
