// The host-communication watchdog: armed from start, fed by every valid
// request; when none has come for its timeout it trips, and stays tripped
// (outputs in their safe state) until a client writes the outputs again.
#ifndef DIO_MODBUSD_WATCHDOG_H
#define DIO_MODBUSD_WATCHDOG_H

#include <optional>

#include "shared_names.h"

namespace dio_modbusd {

class Watchdog {
 public:
  // No timeout: a watchdog that never trips.
  Watchdog(std::optional<Microseconds> timeout, TimePoint now);

  bool enabled() const { return timeout_.has_value(); }
  bool tripped() const { return tripped_; }

  void Feed(TimePoint now) { last_fed_ = now; }

  // True once, at the first call after the timeout ran out: the caller then
  // puts the outputs into their safe state.
  bool TripIfStarved(TimePoint now);

  // A write to the outputs: the controller is back in charge.
  void Clear() { tripped_ = false; }

  // When TripIfStarved would trip next; nothing while it cannot.
  std::optional<TimePoint> Deadline() const;

 private:
  std::optional<Microseconds> timeout_;
  TimePoint last_fed_;
  bool tripped_ = false;
};

}  // namespace dio_modbusd

#endif
