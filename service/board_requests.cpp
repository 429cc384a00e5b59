#include "board_requests.h"

#include <cerrno>

namespace dio_boardd {

namespace {

using varnik::wire::Message;

// The board API takes masks as bytes: a wider value on the wire is not one
// it could be given, and is refused as it refuses a bad mask.
bool FitsByte(uint32_t value) { return value <= 0xFFu; }

// A line or a level as the board API's int: values beyond int's range are
// outside the map either way.
int AsInt(uint32_t value) { return value > 0x7FFFFFFFu ? -1 : static_cast<int>(value); }

int32_t Status(vdio_board *board, const Message &request, uint32_t *first) {
  switch (request.operation) {
    case varnik::wire::kGet:
      return vdio_get(board, AsInt(request.first));
    case varnik::wire::kSet:
      return vdio_set(board, AsInt(request.first), AsInt(request.second));
    case varnik::wire::kRead: {
      vdio_state state{};
      const int status = vdio_read(board, &state);
      if (status == 0) *first = varnik::wire::PackState(state.inputs, state.outputs, state.leds);
      return status;
    }
    case varnik::wire::kWriteOutputs:
      if (!FitsByte(request.first) || !FitsByte(request.second)) return -EINVAL;
      return vdio_write_outputs(board, static_cast<uint8_t>(request.first),
                                static_cast<uint8_t>(request.second));
    case varnik::wire::kWriteLeds:
      if (!FitsByte(request.first) || !FitsByte(request.second)) return -EINVAL;
      return vdio_write_leds(board, static_cast<uint8_t>(request.first),
                             static_cast<uint8_t>(request.second));
    default:
      return -EPROTO;
  }
}

}  // namespace

bool IsBoardRequest(uint16_t operation) {
  return operation >= varnik::wire::kGet && operation <= varnik::wire::kWriteLeds;
}

bool IsWriteRequest(uint16_t operation) {
  return operation == varnik::wire::kSet || operation == varnik::wire::kWriteOutputs ||
         operation == varnik::wire::kWriteLeds;
}

bool IsWellFormedWrite(const Message &request) {
  switch (request.operation) {
    case varnik::wire::kSet:
      return request.first >= VDIO_DO0 && request.first < VDIO_LINE_COUNT && request.second <= 1;
    case varnik::wire::kWriteOutputs:
      return FitsByte(request.first) && FitsByte(request.second);
    case varnik::wire::kWriteLeds:
      return request.first <= 0x7u && FitsByte(request.second);
    default:
      return false;
  }
}

Message Answer(vdio_board *board, const Message &request) {
  Message reply;
  reply.operation = request.operation;
  reply.status = Status(board, request, &reply.first);
  return reply;
}

}  // namespace dio_boardd
