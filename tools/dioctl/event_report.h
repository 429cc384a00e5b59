// Change events as dioctl prints them, one line each, flushed at once:
// "1765253521.123456 rising DI3" or the same as a JSON object. The board
// stamps events with CLOCK_MONOTONIC; they are printed in wall-clock time.
#ifndef DIOCTL_EVENT_REPORT_H
#define DIOCTL_EVENT_REPORT_H

#include <cstdint>
#include <string>

#include "varnik_dio_board.h"

namespace dioctl {

// Converts monotonic timestamps to wall-clock time by the offset between
// the two clocks, taken once when it is made.
class WallClock {
 public:
  WallClock();
  int64_t FromMonotonic(uint64_t monotonic_ns) const {
    return static_cast<int64_t>(monotonic_ns) + offset_ns_;
  }
  static int64_t NowNs();

 private:
  int64_t offset_ns_;
};

enum class EventForm { kText, kJson };

enum class Edge { kRising, kFalling, kInitial };

// A line's level as an event. An initial event states the level the line
// had when watching began; its text line carries the level as a fourth
// field, "... initial DI3 1", since the edge alone does not tell it.
struct PrintedEvent {
  int64_t wall_ns;
  int line;
  int value;
  Edge edge;
};

PrintedEvent FromBoardEvent(const vdio_event &event, const WallClock &clock);

// The event's line, without its line end.
std::string FormatEvent(const PrintedEvent &event, EventForm form);

// Prints the event's line on standard output and flushes it.
void PrintEvent(const PrintedEvent &event, EventForm form);

}  // namespace dioctl

#endif
