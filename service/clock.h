// The one clock of the service: CLOCK_MONOTONIC in nanoseconds, the clock
// of the events' timestamps and of the debounce, so that a change of the
// wall clock never shifts a sample.
#ifndef DIO_BOARDD_CLOCK_H
#define DIO_BOARDD_CLOCK_H

#include <time.h>

#include <cstdint>

namespace dio_boardd {

inline uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace dio_boardd

#endif
