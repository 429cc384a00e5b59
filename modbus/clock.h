// The one clock of the gateway: monotonic, so that a change of the wall
// clock never trips the watchdog or closes a connection.
#ifndef DIO_MODBUSD_CLOCK_H
#define DIO_MODBUSD_CLOCK_H

#include <chrono>

namespace dio_modbusd {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Microseconds = std::chrono::microseconds;

}  // namespace dio_modbusd

#endif
