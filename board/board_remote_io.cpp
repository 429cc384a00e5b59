// Reading and writing lines through the board service: the same results and
// errors as on the held mapping, and never a value the service did not
// send as one (-EPROTO instead).
#include "board_remote_io.h"

#include <errno.h>

#include "service_connection.h"

namespace varnik::board {

namespace {

constexpr uint32_t kStateBits = (1u << VDIO_LINE_COUNT) - 1;

wire::Message Request(wire::Operation operation, uint32_t first, uint32_t second) {
  wire::Message request;
  request.operation = operation;
  request.first = first;
  request.second = second;
  return request;
}

// A call whose success is 0.
int AskForDone(ServiceBoard *service, const wire::Message &request) {
  const int status = Ask(service, request, nullptr);
  return status > 0 ? -EPROTO : status;
}

}  // namespace

int RemoteGet(ServiceBoard *service, int line) {
  const int status = Ask(service, Request(wire::kGet, static_cast<uint32_t>(line), 0), nullptr);
  return status > 1 ? -EPROTO : status;
}

int RemoteSet(ServiceBoard *service, int line, int level) {
  return AskForDone(service,
                    Request(wire::kSet, static_cast<uint32_t>(line), static_cast<uint32_t>(level)));
}

int RemoteRead(ServiceBoard *service, vdio_state *state) {
  wire::Message reply;
  const int status = Ask(service, Request(wire::kRead, 0, 0), &reply);
  if (status != 0) return status > 0 ? -EPROTO : status;
  if ((reply.first & ~kStateBits) != 0) return -EPROTO;
  state->inputs = static_cast<uint8_t>(reply.first);
  state->outputs = static_cast<uint8_t>(reply.first >> 8);
  state->leds = static_cast<uint8_t>(reply.first >> 16);
  return 0;
}

int RemoteWriteOutputs(ServiceBoard *service, uint8_t mask, uint8_t values) {
  return AskForDone(service, Request(wire::kWriteOutputs, mask, values));
}

int RemoteWriteLeds(ServiceBoard *service, uint8_t mask, uint8_t values) {
  return AskForDone(service, Request(wire::kWriteLeds, mask, values));
}

}  // namespace varnik::board
