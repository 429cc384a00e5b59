// Inside the board library: a watcher through the board service. The
// service samples and debounces the lines on a connection of the watcher's
// own and sends each change; the watcher waits on that connection.
#ifndef VARNIK_BOARD_SERVICE_WATCH_H
#define VARNIK_BOARD_SERVICE_WATCH_H

#include <stdint.h>

#include "varnik_dio_board.h"

namespace varnik::board {

struct ServiceBoard;
struct ServiceWatch;

// vdio_watch_new through the service board is held on; arguments checked.
int OpenServiceWatch(const ServiceBoard *board, uint32_t lines, uint32_t interval_us,
                     uint32_t debounce_us, ServiceWatch **watch);

// vdio_watch_next: poll() on the connection, with the same timeouts.
int NextServiceEvent(ServiceWatch *watch, int timeout_ms, vdio_event *event);

int ServiceWatchFd(const ServiceWatch *watch);

void FreeServiceWatch(ServiceWatch *watch);

}  // namespace varnik::board

#endif
