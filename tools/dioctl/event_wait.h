// Waiting for a watcher's next event, until a deadline or an interrupt.
#ifndef DIOCTL_EVENT_WAIT_H
#define DIOCTL_EVENT_WAIT_H

#include <chrono>
#include <optional>

#include "argument_parsing.h"
#include "varnik_dio_board.h"

namespace dioctl {

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// The deadline timeout from now; none without a timeout.
Deadline DeadlineAfter(const std::optional<varnik::tools::Microseconds> &timeout);

enum class WaitResult { kEvent, kTimedOut, kInterrupted };

// Fills *event with the next change, or says why there is none.
WaitResult WaitForEvent(vdio_watch *watch, const Deadline &deadline, vdio_event *event);

}  // namespace dioctl

#endif
