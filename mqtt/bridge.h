// The bridge itself: one board, one broker. Publishes the status, every
// line's level and the inputs' figures, takes the set topics, re-sends the
// discovery configs when Home Assistant comes online, reconnects to a lost
// broker with backoff, and (with --claim and a lease) puts the outputs to
// their safe values itself once the broker has been out of reach for
// longer than the lease. All in one thread, waiting in poll on the stop
// descriptor, the board's watcher and the broker's socket.
#ifndef DIO_MQTTD_BRIDGE_H
#define DIO_MQTTD_BRIDGE_H

#include "bridge_options.h"
#include "line_io.h"
#include "systemd_notify.h"

namespace dio_mqttd {

// Runs until stop_fd becomes readable (a stop signal): then publishes
// offline, disconnects cleanly and returns true. Tells notify READY=1 once
// the board is watched and the first attempt to reach the broker is under
// way (a broker out of reach never holds up the start), and feeds its
// watchdog from the loop. Returns false when the
// board was lost (the service went away), after publishing offline if it
// can. Throws std::runtime_error for what keeps it from starting (the
// broker's TLS files, a watcher the board refuses).
bool RunBridge(const BridgeOptions &options, varnik::tools::LineIo &lines, int stop_fd,
               varnik::tools::SystemdNotify &notify);

}  // namespace dio_mqttd

#endif
