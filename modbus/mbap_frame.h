// Modbus TCP framing: the 7-byte MBAP header (transaction id, protocol id 0,
// length of what follows it including the unit id, unit id) and its PDU.
// Each connection's bytes are cut into frames by the header's length, so a
// frame that arrives in pieces waits in its connection's buffer and never
// holds up another client.
#ifndef DIO_MODBUSD_MBAP_FRAME_H
#define DIO_MODBUSD_MBAP_FRAME_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dio_modbusd {

constexpr size_t kMbapHeaderSize = 7;

struct MbapFrame {
  uint16_t transaction = 0;
  uint8_t unit = 0;
  const uint8_t *pdu = nullptr;  // into the buffer the frame was cut from
  size_t pdu_length = 0;
  size_t size = 0;  // header and PDU
};

enum class FrameStatus { kIncomplete, kComplete, kMalformed };

// Looks for one frame at the start of bytes[0..length). kMalformed, with
// *problem saying why, for a header no Modbus TCP client sends (a protocol
// id other than 0, a length outside 2..254): the stream cannot be followed
// after it.
FrameStatus CutFrame(const uint8_t *bytes, size_t length, MbapFrame *frame, std::string *problem);

// The reply frame to a request: its transaction and unit id, then pdu.
std::vector<uint8_t> ReplyFrame(const MbapFrame &request, const std::vector<uint8_t> &pdu);

}  // namespace dio_modbusd

#endif
