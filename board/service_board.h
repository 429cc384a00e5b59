// Inside the board library: a board held through the board service, opened
// on its socket and closed again.
#ifndef VARNIK_BOARD_SERVICE_BOARD_H
#define VARNIK_BOARD_SERVICE_BOARD_H

#include "varnik_dio_board.h"

namespace varnik::board {

// vdio_open for the service's socket at path.
int OpenServiceBoard(const char *path, vdio_board **board);

// Closes the board's connection and frees its state (not the board itself).
void CloseServiceBoard(vdio_board *board);

}  // namespace varnik::board

#endif
