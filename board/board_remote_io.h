// Inside the board library: reading and writing lines through the board
// service, each call one round trip. The arguments were checked already.
#ifndef VARNIK_BOARD_REMOTE_IO_H
#define VARNIK_BOARD_REMOTE_IO_H

#include <stdint.h>

#include "varnik_dio_board.h"

namespace varnik::board {

struct ServiceBoard;

int RemoteGet(ServiceBoard *service, int line);
int RemoteSet(ServiceBoard *service, int line, int level);
int RemoteRead(ServiceBoard *service, vdio_state *state);
int RemoteWriteOutputs(ServiceBoard *service, uint8_t mask, uint8_t values);
int RemoteWriteLeds(ServiceBoard *service, uint8_t mask, uint8_t values);

}  // namespace varnik::board

#endif
