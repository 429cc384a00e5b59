// The one clock of a gateway: monotonic, so that a change of the wall
// clock never trips the watchdog or closes a connection.
#ifndef VARNIK_TOOLS_CLOCK_H
#define VARNIK_TOOLS_CLOCK_H

#include <chrono>

namespace varnik::tools {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Microseconds = std::chrono::microseconds;

}  // namespace varnik::tools

#endif
