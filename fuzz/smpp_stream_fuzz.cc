// Any byte stream from an SMSC, cut at arbitrary points: the framer yields whole PDUs or stops
// at a bad length, every PDU decodes or is refused with a reason, and what decodes re-encodes to
// bytes that decode to the same fields. The same bytes as SMS text encode into parts within the
// SMS limits.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/sms/smpp_pdu.h"
#include "platform/sms/sms_text.h"

namespace {

using namespace mailvane;

void CheckRoundTrip(smpp::Pdu pdu) {
  const bool response = (pdu.command_id & smpp::kResponseBit) != 0;
  switch (pdu.command_id) {
    case smpp::kSubmitSm:
    case smpp::kDeliverSm:
      if (pdu.short_message.size() > smpp::kMaxShortMessage) return;  // a long message_payload
      pdu.message_id.clear();  // optional parameters are not sent again
      pdu.message_state.reset();
      break;
    case smpp::kBindTransceiver:
    case smpp::kBindTransceiverResp:
    case smpp::kSubmitSmResp:
    case smpp::kDeliverSmResp:
    case smpp::kEnquireLink:
    case smpp::kEnquireLinkResp:
    case smpp::kUnbind:
    case smpp::kUnbindResp:
    case smpp::kGenericNack:
      if (response && pdu.command_status != 0 && pdu.command_id != smpp::kSubmitSmResp) return;
      break;
    default:
      return;
  }
  std::string error;
  std::optional<smpp::Pdu> again = smpp::Decode(smpp::Encode(pdu), &error);
  if (!again || !(*again == pdu)) std::abort();
}

void CheckText(std::string_view text) {
  EncodedSms sms = EncodeSmsText(text, 7);
  const std::size_t single = sms.data_coding == 8 ? 2 * kUcs2SingleUnits : kGsmSingleSeptets;
  const std::size_t part = 6 + (sms.data_coding == 8 ? 2 * kUcs2PartUnits : kGsmPartSeptets);
  if (sms.parts.empty() || sms.concatenated != (sms.parts.size() > 1)) std::abort();
  for (const std::string& p : sms.parts) {
    if (p.size() > (sms.concatenated ? part : single)) std::abort();
    if (sms.data_coding == 0 && !p.empty() && p.back() == '\x1B') std::abort();  // a split escape
    if (sms.data_coding == 8 && p.size() >= 2 &&
        (static_cast<uint8_t>(p[p.size() - 2]) & 0xFC) == 0xD8) {
      std::abort();  // a high surrogate without its low one
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckText(input.substr(0, 2000));
  // The first byte chooses the read size, as a socket might cut the stream.
  const std::size_t chunk = size > 0 ? data[0] % 32 + 1 : 1;
  smpp::Framer framer;
  std::string pdu;
  uint32_t bad = 0;
  for (std::size_t at = size > 0 ? 1 : 0; at < size; at += chunk) {
    framer.Append(input.substr(at, chunk));
    for (;;) {
      smpp::Framer::Next next = framer.Take(&pdu, &bad);
      if (next == smpp::Framer::Next::kNeedMore) break;
      if (next == smpp::Framer::Next::kBadLength) {
        if (bad >= smpp::kHeaderLength && bad <= smpp::kMaxPduLength) std::abort();
        return 0;  // the session drops such a connection
      }
      std::string error;
      std::optional<smpp::Pdu> decoded = smpp::Decode(pdu, &error);
      if (!decoded) {
        if (error.empty()) std::abort();
        continue;
      }
      CheckRoundTrip(*decoded);
    }
  }
  return 0;
}
