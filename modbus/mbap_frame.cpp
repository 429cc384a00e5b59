#include "mbap_frame.h"

#include <modbus.h>

#include <algorithm>

namespace dio_modbusd {

namespace {

// The length field counts the unit id and the PDU.
constexpr size_t kMinLengthField = 2;
constexpr size_t kMaxLengthField = 1 + MODBUS_MAX_PDU_LENGTH;

uint16_t Word(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

}  // namespace

FrameStatus CutFrame(const uint8_t *bytes, size_t length, MbapFrame *frame, std::string *problem) {
  if (length < kMbapHeaderSize) return FrameStatus::kIncomplete;
  const uint16_t protocol = Word(bytes + 2);
  const size_t length_field = Word(bytes + 4);
  if (protocol != 0) {
    *problem = "protocol id " + std::to_string(protocol) + ", not 0";
    return FrameStatus::kMalformed;
  }
  if (length_field < kMinLengthField || length_field > kMaxLengthField) {
    *problem = "length " + std::to_string(length_field) + ", not 2 to " +
               std::to_string(kMaxLengthField);
    return FrameStatus::kMalformed;
  }
  const size_t size = kMbapHeaderSize - 1 + length_field;
  if (length < size) return FrameStatus::kIncomplete;
  frame->transaction = Word(bytes);
  frame->unit = bytes[6];
  frame->pdu = bytes + kMbapHeaderSize;
  frame->pdu_length = length_field - 1;
  frame->size = size;
  return FrameStatus::kComplete;
}

std::vector<uint8_t> ReplyFrame(const MbapFrame &request, const std::vector<uint8_t> &pdu) {
  const size_t length_field = 1 + pdu.size();
  std::vector<uint8_t> frame(kMbapHeaderSize + pdu.size());
  frame[0] = static_cast<uint8_t>(request.transaction >> 8);
  frame[1] = static_cast<uint8_t>(request.transaction & 0xFF);
  frame[2] = frame[3] = 0;  // protocol id
  frame[4] = static_cast<uint8_t>(length_field >> 8);
  frame[5] = static_cast<uint8_t>(length_field & 0xFF);
  frame[6] = request.unit;
  std::copy(pdu.begin(), pdu.end(), frame.begin() + kMbapHeaderSize);
  return frame;
}

}  // namespace dio_modbusd
