#include "watchdog.h"

namespace dio_modbusd {

Watchdog::Watchdog(std::optional<Microseconds> timeout, TimePoint now)
    : timeout_(timeout), last_fed_(now) {}

bool Watchdog::TripIfStarved(TimePoint now) {
  const std::optional<TimePoint> deadline = Deadline();
  if (!deadline || now < *deadline) return false;
  tripped_ = true;
  return true;
}

std::optional<TimePoint> Watchdog::Deadline() const {
  if (!timeout_ || tripped_) return std::nullopt;
  return last_fed_ + *timeout_;
}

}  // namespace dio_modbusd
