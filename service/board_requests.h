// A request of a board connection answered by the board API on the
// service's board: the reply carries exactly the call's result or error.
#ifndef DIO_BOARDD_BOARD_REQUESTS_H
#define DIO_BOARDD_BOARD_REQUESTS_H

#include "service_wire.h"
#include "varnik_dio_board.h"

namespace dio_boardd {

// Whether operation is one of the requests Answer handles.
bool IsBoardRequest(uint16_t operation);

// Whether it may change an output or an LED.
bool IsWriteRequest(uint16_t operation);

// Whether a write request's arguments are ones the board API takes: a bad
// one is answered -EINVAL before any claim is looked at.
bool IsWellFormedWrite(const varnik::wire::Message &request);

// The reply to a board request (IsBoardRequest): the same operation, the
// call's status and, for a read, the packed levels.
varnik::wire::Message Answer(vdio_board *board, const varnik::wire::Message &request);

}  // namespace dio_boardd

#endif
