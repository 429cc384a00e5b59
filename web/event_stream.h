// GET /api/v1/events: one client's Server-Sent Events, on its request
// thread, for as long as the client reads and the hub keeps its stream.
#ifndef DIO_WEBD_EVENT_STREAM_H
#define DIO_WEBD_EVENT_STREAM_H

#include <chrono>

#include "board_access.h"
#include "event_hub.h"
#include "http_exchange.h"

namespace dio_webd {

// How often an idle stream gets a comment line, so that the client (and a
// proxy between) knows it is alive and a client gone is noticed.
constexpr std::chrono::seconds kKeepAliveEvery{15};

// Subscribes first, so that nothing is missed between the snapshot and the
// events after it; then the "snapshot" event, then every event the hub
// publishes, and ": keep-alive" after each keep_alive of silence. Ends
// when the hub ends the stream (a stop, a client too far behind) or a
// write fails. 503 when the hub has no room.
void ServeEvents(Exchange &exchange, EventHub &hub, BoardAccess &board,
                 std::chrono::milliseconds keep_alive = kKeepAliveEvery);

}  // namespace dio_webd

#endif
