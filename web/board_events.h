// The event pump: one thread that waits on a watcher of every line (the
// board service's events: nothing is polled here) and publishes each
// change to the event streams; that notices the service lost, tells the
// streams, and opens the board again every second until it is back; and
// that publishes the inputs' figures and the claims when they change, at
// most once every figures interval.
#ifndef DIO_WEBD_BOARD_EVENTS_H
#define DIO_WEBD_BOARD_EVENTS_H

#include <atomic>
#include <chrono>

#include "board_access.h"
#include "event_hub.h"
#include "metrics.h"
#include "quiet_thread.h"

namespace dio_webd {

struct PumpSettings {
  uint32_t watch_interval_us = 10000;  // the watcher's polling interval
  std::chrono::milliseconds reconnect_every{1000};
  std::chrono::milliseconds figures_every{1000};
};

class BoardEvents {
 public:
  // The board must be open (BoardAccess::OpenOrThrow) before Start.
  BoardEvents(BoardAccess &board, EventHub &hub, LineCounters &counters,
              PumpSettings settings = {});
  ~BoardEvents() { Stop(); }

  // Starts the pump's thread (signals blocked in it).
  void Start();
  // Ends it and waits until it has: at a stop.
  void Stop();

 private:
  void Run();

  BoardAccess &board_;
  EventHub &hub_;
  LineCounters &counters_;
  const PumpSettings settings_;
  std::atomic<bool> stopping_{false};
  varnik::tools::QuietThread thread_;
};

}  // namespace dio_webd

#endif
